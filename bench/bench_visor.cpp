// The punch viewer's model on a table of 1,000,000 punches: opening it with
// the default filter, the worst filter (every terminal, every day), a terminal
// and date-range filter, and the CSV export. Baseline: a bare count(*) on the
// same table, in the same run.
//
//   bench_visor [rows]      default 1000000

#include "bench/banco.h"
#include "shell/nucleo/modelo_marcajes.h"

#include <QBuffer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>

namespace {

constexpr int kTerminales = 50;

void generar(const QString &archivo, int filas)
{
    const MOD_ado::CadenaConexion cc{archivo, QString()};
    if (const QString e = MOD_ado::PrepararBaseDatos(cc); !e.isEmpty())
        banco::abortar(e);
    {
        auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("generar"));
        db.setDatabaseName(archivo);
        if (!db.open())
            banco::abortar(db.lastError().text());
        QSqlQuery q(db);
        // Generation only: the program itself always writes with synchronous=FULL.
        q.exec(QStringLiteral("PRAGMA synchronous=OFF"));
        db.transaction();
        q.prepare(QStringLiteral("INSERT INTO marcajes (fechahora, numero_terminal, codigo_incidencia, "
                                 "entrada_salida, tarjeta, subcodigo, tipo, habilitado) VALUES (?, ?, ?, ?, ?, ?, 0, 1)"));
        for (int i = 0; i < filas; ++i) {
            q.addBindValue(banco::momentoMarcaje(i).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            q.addBindValue(1 + i % kTerminales);
            q.addBindValue(i % 100);
            q.addBindValue(i % 2);
            q.addBindValue(100000 + i % 5000);
            q.addBindValue(0);
            if (!q.exec())
                banco::abortar(q.lastError().text());
        }
        if (!db.commit())
            banco::abortar(db.lastError().text());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("generar"));
}

// Best of three: the figure of a warm cache, as a viewer opened twice sees it.
template <typename F>
double mejor(F &&f)
{
    double m = 1e9;
    for (int i = 0; i < 3; ++i)
        m = std::min(m, banco::medir(f));
    return m;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int filas = argc > 1 ? std::max(1, atoi(argv[1])) : 1000000;
    QTemporaryDir dir = banco::carpetaTemporal();
    const QString archivo = dir.filePath(QStringLiteral("visor.db"));
    const MOD_ado::CadenaConexion cc{archivo, QString()};

    banco::titulo("bench_visor");
    banco::fila("rows", filas, "");
    banco::fila("generation (one transaction)", banco::medir([&] { generar(archivo, filas); }), "s");

    const QDate ultimo = banco::momentoMarcaje(filas - 1).date();
    const FiltroMarcajes porDefecto{std::nullopt, ultimo.addDays(-30), ultimo};
    const FiltroMarcajes todo{std::nullopt, banco::momentoMarcaje(0).date(), ultimo};
    const FiltroMarcajes terminal{7, ultimo.addDays(-200), ultimo.addDays(-170)};

    int listadas = 0;
    const auto abrirYFiltrar = [&](const FiltroMarcajes &f) {
        ModeloMarcajes m(cc);
        if (const QString e = m.Filtrar(f); !e.isEmpty())
            banco::abortar(e);
        listadas = m.rowCount(); // the first page, as the view asks for it
    };

    double base = 0;
    {
        ModeloMarcajes m(cc); // an open connection, as the baseline's
        base = mejor([&] {
            auto db = QSqlDatabase::database(QSqlDatabase::connectionNames().value(0));
            QSqlQuery q(QStringLiteral("SELECT count(*) FROM marcajes"), db);
            q.next();
        });
    }
    banco::fila("baseline: SELECT count(*)", base, "s");

    const double abrir = mejor([&] { abrirYFiltrar(porDefecto); });
    banco::fila("open + last 30 days, every terminal", abrir, "s");
    banco::fila("  rows in the first page", listadas, "");
    const double peor = mejor([&] { abrirYFiltrar(todo); });
    banco::fila("open + every day, every terminal", peor, "s");
    double filtro = 0;
    {
        ModeloMarcajes m(cc);
        filtro = mejor([&] {
            m.Filtrar(terminal);
            listadas = m.rowCount();
        });
    }
    banco::fila("filter: terminal + 30 days (model open)", filtro, "s");
    banco::fila("  rows in the first page", listadas, "");

    qint64 exportadas = 0;
    QByteArray csv;
    const double exportar = banco::medir([&] {
        ModeloMarcajes m(cc);
        QBuffer b(&csv);
        b.open(QIODevice::WriteOnly);
        if (const QString e = m.ExportarCsv(b, todo, FormatoCsv::Codigos, &exportadas); !e.isEmpty())
            banco::abortar(e);
    });
    banco::fila("CSV export of every row", exportar, "s");
    banco::fila("  rows exported", double(exportadas), "");
    banco::fila("  MB written", csv.size() / 1e6, "");

    banco::informe("bench_visor", "open / count(*)", abrir / base, "x");
    banco::informe("bench_visor", "worst open / count(*)", peor / base, "x");
    banco::informe("bench_visor", "filter / count(*)", filtro / base, "x");
    banco::resultado("bench_visor", "open, last 30 days", abrir, "s", 1.0);
    banco::resultado("bench_visor", "open, every day (worst)", peor, "s", 1.0);
    banco::resultado("bench_visor", "filter terminal + range", filtro, "s", 1.0);
    banco::informe("bench_visor", "CSV export rows/s", exportadas / exportar, "");
    return 0;
}
