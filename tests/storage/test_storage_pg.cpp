// The attendance database on a real PostgreSQL server: the one that
// scripts/pg-test.sh starts and names in KALVEROSTIN_PG_URL.
#include "mod_ado.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QtTest>

using namespace MOD_ado;
using R = ResultadoGrabacion;

namespace {

const QDateTime kMomento(QDate(2024, 3, 15), QTime(8, 5, 9));

// A connection of the test's own, for checking and for planting rows.
class Directa {
public:
    explicit Directa(const QString &url) : nombre_(QStringLiteral("pg_directa_%1").arg(++n_))
    {
        const QUrl u(url);
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", nombre_);
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setDatabaseName(u.path().mid(1));
        db.setUserName(u.userName());
        db.setPassword(u.password(QUrl::FullyDecoded));
        db.setConnectOptions("connect_timeout=5");
        abierta_ = db.open();
        error_ = db.lastError().text();
    }
    ~Directa() { QSqlDatabase::removeDatabase(nombre_); }
    bool abierta() const { return abierta_; }
    const QString &error() const { return error_; }
    QSqlDatabase db() const { return QSqlDatabase::database(nombre_, false); }
    bool exec(const QString &sql, const QVariantList &valores = {})
    {
        QSqlQuery q(db());
        if (valores.isEmpty()) // the server prepares no DDL
            return q.exec(sql);
        q.prepare(sql);
        for (const QVariant &v : valores)
            q.addBindValue(v);
        return q.exec();
    }
    QVariant valor(const QString &sql)
    {
        QSqlQuery q(db());
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }

private:
    static inline int n_ = 0;
    QString nombre_;
    bool abierta_ = false;
    QString error_;
};

} // namespace

class TestStoragePg : public QObject {
    Q_OBJECT

    QString url;
    CadenaConexion cc;
    int caso = 0;

    QString directaSql(const QString &sql) { return Directa(url).valor(sql).toString(); }

private slots:
    void initTestCase()
    {
        url = qEnvironmentVariable("KALVEROSTIN_PG_URL");
        if (url.isEmpty())
            QSKIP("KALVEROSTIN_PG_URL no está definida: ejecute las pruebas con scripts/pg-test.sh");
        Directa d(url);
        if (!d.abierta())
            QSKIP(qPrintable("No se puede conectar con el servidor de KALVEROSTIN_PG_URL: " + d.error()));
    }

    // Every case starts without tables; a new query string makes the storage
    // module treat the database as one it has not prepared yet.
    void init()
    {
        Directa d(url);
        QVERIFY(d.exec("DROP TABLE IF EXISTS terminales_1, marcajes, \"Incidencias\""));
        cc.RutaBaseDatos = url + QStringLiteral("?caso=%1").arg(++caso);
    }
    void cleanup() { QCOMPARE(QSqlDatabase::connectionNames(), QStringList()); }

    void creacionYEsquema()
    {
        QCOMPARE(GrabarMarcaje(cc, 3, kMomento, 1, 0, 123456, 0), R::Insertado);
        QCOMPARE(directaSql("SELECT string_agg(table_name || '.' || column_name || ':' || data_type, ',' ORDER BY "
                            "table_name, ordinal_position) FROM information_schema.columns WHERE table_schema = "
                            "current_schema() AND table_name IN ('terminales_1', 'Incidencias')"),
                 QString("Incidencias.codigo:integer,Incidencias.descripcion:text,terminales_1.ID:integer,"
                         "terminales_1.codigo:smallint,terminales_1.descripcion:text,terminales_1.IP:text,"
                         "terminales_1.Tipo:smallint,terminales_1.Com:text"));
        QCOMPARE(directaSql("SELECT string_agg(column_name || ':' || data_type, ',' ORDER BY ordinal_position) FROM "
                            "information_schema.columns WHERE table_name = 'marcajes' AND column_name IN "
                            "('fechahora', 'tarjeta', 'habilitado')"),
                 QString("fechahora:timestamp without time zone,tarjeta:bigint,habilitado:boolean"));
        QCOMPARE(directaSql("SELECT to_char(fechahora, 'YYYY-MM-DD HH24:MI:SS') || '|' || habilitado || '|' || tipo "
                            "FROM marcajes"),
                 QString("2024-03-15 08:05:09|true|0"));
        QCOMPARE(PrepararBaseDatos(cc), QString()); // tables already there: nothing to do
    }

    void terminales()
    {
        QCOMPARE(InsertarTerminal(cc, "3", "O'Brien", "", "0", "2"), QString());
        QCOMPARE(InsertarTerminal(cc, "4", "Puerta \"norte\"; DROP TABLE marcajes;--", "10.0.0.4", "2", "0"), QString());
        QVERIFY(!InsertarTerminal(cc, "abc", "x", "", "0", "1").isEmpty());
        QCOMPARE(CargarTerminales(cc), QString());
        QCOMPARE(NumTerminales, qint16(2));
        QCOMPARE(Terminales[0].descripcion, QString("O'Brien"));
        QCOMPARE(Terminales[0].Com, qint16(2));
        QCOMPARE(Terminales[1].descripcion, QString("Puerta \"norte\"; DROP TABLE marcajes;--"));
        QCOMPARE(Terminales[1].Tipo, qint16(2));

        const qint16 id = Terminales[1].ID;
        QCOMPARE(ModificarTerminal(cc, QString::number(id), "9", "L'Entrada", "10.0.0.9", "1", "4"), QString());
        QCOMPARE(BorrarTerminal(cc, QString::number(Terminales[0].ID)), QString());
        QCOMPARE(BorrarTerminal(cc, "999"), QString());
        QCOMPARE(CargarTerminales(cc), QString());
        QCOMPARE(NumTerminales, qint16(1));
        QCOMPARE(Terminales[0].ID, id);
        QCOMPARE(Terminales[0].descripcion, QString("L'Entrada"));
        QCOMPARE(Terminales[0].codigo, qint16(9));
    }

    void carga_data()
    {
        QTest::addColumn<QString>("columna");
        QTest::addColumn<QVariant>("valor");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("com");
        const QVariant nulo = QVariant(QMetaType::fromType<QString>());
        QTest::newRow("com texto 3") << "Com" << QVariant("3") << "" << 3;
        QTest::newRow("com COM3") << "Com" << QVariant("COM3") << "" << 0;
        for (const char *c : {"IP", "descripcion", "Com"})
            QTest::addRow("%s nulo", c) << c << nulo << "Uso no válido de Null" << 0;
    }
    void carga()
    {
        QFETCH(QString, columna);
        QFETCH(QVariant, valor);
        QFETCH(QString, error);
        QFETCH(int, com);
        QCOMPARE(PrepararBaseDatos(cc), QString());
        {
            Directa d(url);
            const QString col = columna == "descripcion" ? columna : '"' + columna + '"';
            QVERIFY(d.exec("INSERT INTO terminales_1 (codigo, descripcion, \"IP\", \"Tipo\", \"Com\") VALUES "
                           "(1, 'uno', '', 0, '1'), (2, 'dos', '', 1, '2'), (3, 'tres', '', 2, '3')"));
            QVERIFY(d.exec("UPDATE terminales_1 SET " + col + " = ? WHERE codigo = 2", {valor}));
        }
        QCOMPARE(CargarTerminales(cc), error);
        // The row order is the server's: find the changed row by its code.
        if (error.isEmpty()) {
            QCOMPARE(NumTerminales, qint16(3));
            for (int i = 0; i < 3; ++i)
                if (Terminales[i].codigo == 2)
                    QCOMPARE(Terminales[i].Com, qint16(com));
        } else {
            QVERIFY(NumTerminales < 3);
        }
    }

    void marcajes()
    {
        QCOMPARE(GrabarMarcaje(cc, 3, kMomento, 1, 0, 123456, 0), R::Insertado);
        QCOMPARE(GrabarMarcaje(cc, 3, kMomento, 1, 0, 123456, 0), R::Duplicado);
        QCOMPARE(GrabarMarcaje(cc, 3, kMomento.addMSecs(700), 0, 5, 999, 1), R::Duplicado);
        QCOMPARE(GrabarMarcaje(cc, 4, kMomento, 1, 0, 123456, 0), R::Insertado);
        QCOMPARE(GrabarMarcaje(cc, 9, QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59)), 2, 255, 4294967295u,
                               4294967295u),
                 R::Insertado);
        QCOMPARE(directaSql("SELECT string_agg(concat_ws('|', to_char(fechahora, 'YYYY-MM-DD HH24:MI:SS'), "
                            "numero_terminal, codigo_incidencia, entrada_salida, tarjeta, subcodigo, tipo, habilitado), "
                            "';' ORDER BY id) FROM marcajes"),
                 QString("2024-03-15 08:05:09|3|0|1|123456|0|0|t;2024-03-15 08:05:09|4|0|1|123456|0|0|t;"
                         "1999-12-31 23:59:59|9|255|2|4294967295|4294967295|0|t"));
    }

    // Two collectors storing the same punches at the same moment, each on its
    // own connection: one row per terminal and second, no faults.
    void dosEscritoresALaVez()
    {
        QCOMPARE(PrepararBaseDatos(cc), QString());
        std::array<QAtomicInt, 3> resultados{};
        const CadenaConexion destino = cc;
        auto descarga = [&](bool alReves) {
            for (int i = 0; i < 60; ++i) {
                const int s = alReves ? 59 - i : i;
                for (int terminal : {1, 2})
                    resultados[int(GrabarMarcaje(destino, terminal, kMomento.addSecs(s), 0, 0, quint32(s), 0))].ref();
            }
        };
        QScopedPointer<QThread> a(QThread::create(descarga, false)), b(QThread::create(descarga, true));
        QScopedPointer<QThread> c(QThread::create(descarga, false));
        a->start();
        b->start();
        c->start();
        a->wait();
        b->wait();
        c->wait();
        QCOMPARE(resultados[int(R::ErrorBaseDatos)].loadRelaxed(), 0);
        QCOMPARE(resultados[int(R::Insertado)].loadRelaxed(), 120);
        QCOMPARE(resultados[int(R::Duplicado)].loadRelaxed(), 240);
        QCOMPARE(directaSql("SELECT count(*) || '/' || count(DISTINCT (numero_terminal, fechahora)) FROM marcajes"),
                 QString("120/120"));
    }

    void lotesDeMarcajes()
    {
        QVector<Marcaje> lote;
        for (int i = 0; i < 1200; ++i) {
            Marcaje m;
            m.numeroTerminal = 1 + i % 2;
            m.fechaHora = kMomento.addSecs(i / 4); // every punch twice
            m.habilitado = i % 3 != 0;
            lote << m;
        }
        const ResumenGrabacion r = GrabarMarcajes(cc, lote);
        QCOMPARE(r.error, QString());
        QCOMPARE(r.insertados, 600);
        QCOMPARE(r.duplicados, 600);
        QCOMPARE(directaSql("SELECT count(*) FROM marcajes WHERE entrada_salida IS NULL"), QString("600"));
    }

    void incidencias()
    {
        QCOMPARE(PrepararBaseDatos(cc), QString());
        DescripcionesIncidencias.fill(QString());
        for (int c = 100; c >= 0; --c)
            QCOMPARE(GrabarIncidencia(cc, c, c == 5 ? QVariant() : QVariant(QString("inc %1").arg(c))), R::Insertado);
        QCOMPARE(GrabarIncidencia(cc, 7, QString("otra")), R::Duplicado);
        QCOMPARE(CargarIncidencias(cc), QString("El subíndice está fuera del intervalo"));
        QCOMPARE(DescripcionesIncidencias[0], QString("inc 0"));
        QCOMPARE(DescripcionesIncidencias[5], QString());
        QCOMPARE(DescripcionesIncidencias[7], QString("inc 7"));
        QCOMPARE(DescripcionesIncidencias[99], QString("inc 99"));
    }

    void claveErroneaNoSeMuestra()
    {
        QUrl u(url);
        const QString clave = QStringLiteral("N0-es-la-Clave");
        u.setPassword(clave);
        const CadenaConexion mala{u.toString(), QString()};
        const QString error = CargarTerminales(mala);
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains(clave), qPrintable(error));
        QVERIFY2(error.contains(RutaParaMostrar(mala.RutaBaseDatos)), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestStoragePg)
#include "test_storage_pg.moc"
