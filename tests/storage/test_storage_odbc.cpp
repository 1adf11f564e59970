// The Access path (.mdb/.accdb through QODBC) run against SQLite's ODBC
// driver, the one ODBC driver for a database file that Linux has.
#include "conexion.h"
#include "mod_ado.h"

#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace MOD_ado;
using R = ResultadoGrabacion;

namespace {
const QDateTime kMomento(QDate(2024, 3, 15), QTime(8, 5, 9));
const QString kControladorSQLite = QStringLiteral("SQLite3");
} // namespace

class TestStorageOdbc : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString sqlite;     // the same file under a name that opens it with QSQLITE
    CadenaConexion cc;  // ...and under the .mdb name that goes through ODBC
    int caso = 0;

    QString directa(const QString &sql)
    {
        QString r;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "odbc_directa");
            db.setDatabaseName(sqlite);
            QSqlQuery q(db.open() ? db : QSqlDatabase());
            if (q.exec(sql) && q.next())
                r = q.value(0).toString();
        }
        QSqlDatabase::removeDatabase("odbc_directa");
        return r;
    }

private slots:
    void initTestCase()
    {
        if (!QSqlDatabase::isDriverAvailable("QODBC"))
            QSKIP("Qt no tiene el controlador QODBC (paquete libqt6sql6-odbc)");
    }

    // A fresh SQLite file with the tables, reachable as .mdb through the SQLite ODBC driver.
    void init()
    {
        fijarControladorOdbc(kControladorSQLite, "Database");
        const QString base = dir.filePath(QStringLiteral("caso%1").arg(++caso));
        sqlite = base + ".db";
        QCOMPARE(PrepararBaseDatos({sqlite, {}}), QString());
        QVERIFY(QFile::link(sqlite, base + ".mdb"));
        cc = {base + ".mdb", QStringLiteral("cl}ave;1")};
        if (QString e = CargarTerminales(cc); !e.isEmpty())
            QSKIP(qPrintable("El controlador ODBC de SQLite no está disponible (paquetes unixodbc y libsqliteodbc): " + e));
    }
    void cleanup()
    {
        fijarControladorOdbc({});
        QCOMPARE(QSqlDatabase::connectionNames(), QStringList());
    }

    void terminales()
    {
        QCOMPARE(InsertarTerminal(cc, "3", "O'Brien", "", "0", "2"), QString());
        QCOMPARE(InsertarTerminal(cc, "5", "Almacén", "10.0.0.5", "2", "0"), QString());
        QCOMPARE(CargarTerminales(cc), QString());
        QCOMPARE(NumTerminales, qint16(2));
        QCOMPARE(Terminales[0].descripcion, QString("O'Brien"));
        QCOMPARE(Terminales[0].Com, qint16(2));
        QCOMPARE(Terminales[1].descripcion, QString::fromUtf8("Almacén"));
        QCOMPARE(Terminales[1].IP, QString("10.0.0.5"));
        QCOMPARE(ModificarTerminal(cc, QString::number(Terminales[1].ID), "6", "Muelle", "", "1", "3"), QString());
        QCOMPARE(BorrarTerminal(cc, QString::number(Terminales[0].ID)), QString());
        QCOMPARE(CargarTerminales(cc), QString());
        QCOMPARE(NumTerminales, qint16(1));
        QCOMPARE(Terminales[0].codigo, qint16(6));
        QCOMPARE(Terminales[0].Com, qint16(3));
    }

    void marcajes()
    {
        QCOMPARE(GrabarMarcaje(cc, 3, kMomento, 1, 0, 4294967295u, 0), R::Insertado);
        QCOMPARE(GrabarMarcaje(cc, 3, kMomento.addMSecs(500), 0, 2, 7, 0), R::Duplicado);
        QCOMPARE(GrabarMarcaje(cc, 4, kMomento, 1, 0, 1, 0), R::Insertado);
        // SQLite's ODBC driver writes a bound timestamp with its milliseconds.
        QCOMPARE(directa("SELECT group_concat(fechahora || '|' || numero_terminal || '|' || tarjeta || '|' || habilitado, ';') "
                         "FROM marcajes"),
                 QString("2024-03-15 08:05:09.000|3|4294967295|1;2024-03-15 08:05:09.000|4|1|1"));
    }

    void incidencias()
    {
        DescripcionesIncidencias.fill(QString());
        QCOMPARE(GrabarIncidencia(cc, 1, QString("Médico")), R::Insertado);
        QCOMPARE(GrabarIncidencia(cc, 0, QVariant()), R::Insertado);
        QCOMPARE(GrabarIncidencia(cc, 1, QString("Otra")), R::Duplicado);
        QCOMPARE(CargarIncidencias(cc), QString());
        QCOMPARE(DescripcionesIncidencias[0], QString());
        QCOMPARE(DescripcionesIncidencias[1], QString::fromUtf8("Médico"));
    }

    void sinControladorDeAccess()
    {
        fijarControladorOdbc({});
        const QString e = CargarTerminales(cc);
        QVERIFY2(e.contains("Microsoft Access") && e.contains("SQLite") && e.contains("PostgreSQL"), qPrintable(e));
        QVERIFY2(!e.contains(cc.ClaveBaseDatos), qPrintable(e));
        QString error;
        QCOMPARE(GrabarMarcaje(cc, 1, kMomento, 0, 0, 1, 0, &error), R::ErrorBaseDatos);
        QCOMPARE(error, e);
    }
};

QTEST_GUILESS_MAIN(TestStorageOdbc)
#include "test_storage_odbc.moc"
