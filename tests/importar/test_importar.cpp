// kalverostin-importar run as a user runs it, with mdb-export replaced by
// mdb-export-falso.sh (first in PATH), which prints the CSV files of this
// folder as mdb-export prints an Access table.
#include "tests/storage/consulta.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

class TestImportar : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    // Exit status, then standard output and standard error.
    std::tuple<int, QString, QString> importar(const QStringList &argumentos)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", dir.filePath("bin") + ':' + env.value("PATH"));
        p.setProcessEnvironment(env);
        p.start(IMPORTADOR, argumentos);
        p.waitForFinished(60000);
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }
private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(dir.filePath("bin")));
        QVERIFY(QFile::copy(DATOS_PRUEBA "/mdb-export-falso.sh", dir.filePath("bin/mdb-export")));
        QVERIFY(QFile::setPermissions(dir.filePath("bin/mdb-export"), QFile::ReadOwner | QFile::ExeOwner));
        QFile datos(dir.filePath("bin/datos"));
        QVERIFY(datos.open(QIODevice::WriteOnly) && datos.write(DATOS_PRUEBA) > 0);
        for (const char *mdb : {"asistencia.mdb", "roto.mdb"})
            QVERIFY(QFile(dir.filePath(mdb)).open(QIODevice::WriteOnly));
    }
    void cleanup() { QCOMPARE(QSqlDatabase::connectionNames(), QStringList()); }

    // The second run finds every row already there.
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
        if (destino.startsWith("postgresql://"))
            consultar(destino, "DROP TABLE IF EXISTS terminales_1, marcajes, \"Incidencias\"");
        for (const char *copiadas : {"3 filas copiadas, 1|3 filas copiadas, 0|4 filas copiadas, 0",
                                     "0 filas copiadas, 4|0 filas copiadas, 3|0 filas copiadas, 4"}) {
            const auto [codigo, texto, errores] = importar({dir.filePath("asistencia.mdb"), destino});
            QVERIFY2(codigo == 0, qPrintable(errores));
            const QStringList c = QString(copiadas).split('|');
            for (const QString &linea : {"terminales_1: " + c[0], "Incidencias: " + c[1], "marcajes: " + c[2]})
                QVERIFY2(texto.contains(linea + " duplicadas omitidas\n"), qPrintable(texto));
            QVERIFY(QUrl(destino).password().isEmpty() || !texto.contains(QUrl(destino).password()));
        }

        QCOMPARE(consultar(destino, "SELECT descripcion || '/' || \"IP\" || '/' || \"Com\" FROM terminales_1 ORDER BY 1"),
                 QStringList({"Almacén//1", "Entrada principal/192.168.1.10/0", "O'Brien \"norte\"//2"}));
        QCOMPARE(consultar(destino, "SELECT coalesce(descripcion, 'NULL') FROM \"Incidencias\" ORDER BY codigo"),
                 QStringList({"NULL", "Médico", "Asuntos\r\npropios"}));
        QCOMPARE(consultar(destino, "SELECT numero_terminal, tarjeta, coalesce(subcodigo, -1), CASE WHEN habilitado "
                                    "THEN 'si' ELSE 'no' END FROM marcajes ORDER BY numero_terminal, tarjeta"),
                 QStringList({"1|123456|0|si", "3|999|0|si", "3|123456|0|si", "5|4294967295|-1|no"}));
    }

    // Nothing is created from a file that cannot be read.
    void noSeImporta()
    {
        const QString destino = dir.filePath("ilegible/zeb.db");
        const std::tuple<QStringList, int, QString> casos[] = { // arguments, exit status, what it says
            {{dir.filePath("no-existe.mdb"), destino}, 1, "No se puede leer el archivo"},
            {{dir.filePath("roto.mdb"), destino}, 1, "No se puede leer la tabla terminales_1"},
            {{destino}, 2, "Uso: kalverostin-importar"}};
        for (const auto &[argumentos, codigo, mensaje] : casos) {
            const auto [salida, texto, errores] = importar(argumentos);
            QCOMPARE(salida, codigo);
            QVERIFY2(errores.contains(mensaje), qPrintable(errores));
            QVERIFY(!QFileInfo::exists(destino));
        }
    }
};

QTEST_GUILESS_MAIN(TestImportar)
#include "test_importar.moc"
