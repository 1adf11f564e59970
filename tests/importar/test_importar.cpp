// kalverostin-importar run as a user runs it, with mdb-export replaced by
// mdb-export-falso.sh (placed first in PATH), which prints the CSV files of
// this folder as mdb-export prints an Access table.
#include "mod_ado.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

using namespace MOD_ado;

namespace {

struct Salida {
    int codigo = -1;
    QString texto, errores;
};

// Opens the destination with a connection of the test's own.
QSqlDatabase abrirDirecta(const QString &destino)
{
    QSqlDatabase db;
    if (destino.startsWith("postgresql://")) {
        const QUrl u(destino);
        db = QSqlDatabase::addDatabase("QPSQL", "importar_directa");
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setDatabaseName(u.path().mid(1));
        db.setUserName(u.userName());
        db.setPassword(u.password(QUrl::FullyDecoded));
    } else {
        db = QSqlDatabase::addDatabase("QSQLITE", "importar_directa");
        db.setDatabaseName(destino);
    }
    db.open();
    return db;
}

QString consultar(const QString &destino, const QString &sql)
{
    QString r;
    {
        QSqlDatabase db = abrirDirecta(destino);
        QSqlQuery q(db);
        if (q.exec(sql) && q.next())
            r = q.value(0).toString();
    }
    QSqlDatabase::removeDatabase("importar_directa");
    return r;
}

} // namespace

class TestImportar : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString origen;

    Salida importar(const QString &archivo, const QString &destino)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", dir.filePath("bin") + ':' + env.value("PATH"));
        p.setProcessEnvironment(env);
        p.start(IMPORTADOR, {archivo, destino});
        p.waitForFinished(60000);
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(dir.filePath("bin")));
        const QString falso = dir.filePath("bin/mdb-export");
        QVERIFY(QFile::copy(DATOS_PRUEBA "/mdb-export-falso.sh", falso));
        QVERIFY(QFile::setPermissions(falso, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QFile datos(dir.filePath("bin/datos"));
        QVERIFY(datos.open(QIODevice::WriteOnly));
        datos.write(DATOS_PRUEBA);
        datos.close();
        origen = dir.filePath("asistencia.mdb");
        QFile f(origen);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    void cleanup() { QCOMPARE(QSqlDatabase::connectionNames(), QStringList()); }

    void copiaDosVeces_data()
    {
        QTest::addColumn<QString>("destino");
        QTest::newRow("sqlite") << dir.filePath("nueva/zeb.db");
        QTest::newRow("postgresql") << qEnvironmentVariable("KALVEROSTIN_PG_URL");
    }
    void copiaDosVeces()
    {
        QFETCH(QString, destino);
        if (destino.isEmpty())
            QSKIP("KALVEROSTIN_PG_URL no está definida: ejecute las pruebas con scripts/pg-test.sh");
        if (destino.startsWith("postgresql://")) {
            {
                QSqlDatabase db = abrirDirecta(destino);
                if (!db.isOpen())
                    QSKIP("No se puede conectar con el servidor de KALVEROSTIN_PG_URL");
                QSqlQuery(db).exec("DROP TABLE IF EXISTS terminales_1, marcajes, \"Incidencias\"");
            }
            QSqlDatabase::removeDatabase("importar_directa");
        }

        Salida s = importar(origen, destino);
        QVERIFY2(s.codigo == 0, qPrintable(s.errores));
        QVERIFY2(s.texto.contains("terminales_1: 3 filas copiadas, 1 duplicadas omitidas\n"), qPrintable(s.texto));
        QVERIFY2(s.texto.contains("Incidencias: 3 filas copiadas, 0 duplicadas omitidas\n"), qPrintable(s.texto));
        QVERIFY2(s.texto.contains("marcajes: 3 filas copiadas, 1 duplicadas omitidas\n"), qPrintable(s.texto));
        QVERIFY(!s.texto.contains(QUrl(destino).password()) || QUrl(destino).password().isEmpty());

        s = importar(origen, destino);
        QVERIFY2(s.codigo == 0, qPrintable(s.errores));
        QVERIFY2(s.texto.contains("terminales_1: 0 filas copiadas, 4 duplicadas omitidas\n"), qPrintable(s.texto));
        QVERIFY2(s.texto.contains("Incidencias: 0 filas copiadas, 3 duplicadas omitidas\n"), qPrintable(s.texto));
        QVERIFY2(s.texto.contains("marcajes: 0 filas copiadas, 4 duplicadas omitidas\n"), qPrintable(s.texto));

        const CadenaConexion cc{destino, {}};
        QCOMPARE(CargarTerminales(cc), QString());
        QCOMPARE(NumTerminales, qint16(3));
        QStringList nombres;
        for (int i = 0; i < NumTerminales; ++i)
            nombres << Terminales[i].descripcion + '/' + Terminales[i].IP + '/' + QString::number(Terminales[i].Com);
        nombres.sort();
        QCOMPARE(nombres, QStringList({QString::fromUtf8("Almacén//1"), "Entrada principal/192.168.1.10/0",
                                       "O'Brien \"norte\"//2"}));
        DescripcionesIncidencias.fill("x");
        QCOMPARE(CargarIncidencias(cc), QString());
        QCOMPARE(DescripcionesIncidencias[0], QString());
        QCOMPARE(DescripcionesIncidencias[1], QString::fromUtf8("Médico"));
        QCOMPARE(DescripcionesIncidencias[2], QString("Asuntos\r\npropios"));
        QCOMPARE(consultar(destino, "SELECT count(*) FROM marcajes"), QString("3"));
        QCOMPARE(consultar(destino, "SELECT tarjeta || '|' || coalesce(subcodigo, -1) || '|' || "
                                    "CASE WHEN habilitado THEN 'si' ELSE 'no' END FROM marcajes WHERE numero_terminal = 5"),
                 QString("4294967295|-1|no"));
        QCOMPARE(consultar(destino, "SELECT tarjeta FROM marcajes WHERE numero_terminal = 3"), QString("123456"));
    }

    void archivoIlegible_data()
    {
        QTest::addColumn<QString>("archivo");
        QTest::addColumn<QString>("mensaje");
        QTest::newRow("no existe") << "no-existe.mdb" << "No se puede leer el archivo";
        QTest::newRow("roto") << "roto.mdb" << "No se puede leer la tabla terminales_1";
    }
    void archivoIlegible()
    {
        QFETCH(QString, archivo);
        QFETCH(QString, mensaje);
        if (archivo.contains("roto")) {
            QFile f(dir.filePath(archivo));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const QString destino = dir.filePath("ilegible/zeb.db");
        const Salida s = importar(dir.filePath(archivo), destino);
        QCOMPARE(s.codigo, 1);
        QVERIFY2(s.errores.contains(mensaje), qPrintable(s.errores));
        QVERIFY(!QFileInfo::exists(destino)); // nothing is created from an unreadable file
    }
};

QTEST_GUILESS_MAIN(TestImportar)
#include "test_importar.moc"
