#include "storage/mod_ini.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace MOD_ini;

class TestStorageIni : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString ruta;

    void escribirBytes(const QByteArray &b)
    {
        QFile f(ruta);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(b);
    }
    QByteArray bytes()
    {
        QFile f(ruta);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void init() { ruta = dir.filePath(QStringLiteral("config_%1.ini").arg(QRandomGenerator::global()->generate())); }

    // Created on the first write, in Windows-1252; names match in any case.
    void archivoNuevo()
    {
        QCOMPARE(LeerIni(ruta, "Incidencias", "texto", "1"), QString("1"));
        QVERIFY(!QFile::exists(ruta));
        QVERIFY(EscribirIni(ruta, "Incidencias", "texto", QString::fromUtf8("Año ñ €")));
        QCOMPARE(bytes(), QByteArray("[Incidencias]\r\ntexto=A\xF1o \xF1 \x80\r\n"));
        QCOMPARE(LeerIni(ruta, "incidencias", "TEXTO"), QString::fromUtf8("Año ñ €"));
        QCOMPARE(LeerIni(ruta, "incidencias", "otra", "5"), QString("5"));

        // It may come to hold the database password: owner-only, rewritten so;
        // a file the administrator opened up keeps its mode.
        const auto ajenos = QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                            | QFileDevice::WriteOther;
        QVERIFY(EscribirIni(ruta, "datos", "bd", "postgresql://u:clave@db/x"));
        QCOMPARE(QFile::permissions(ruta) & ajenos, QFileDevice::Permissions());
        QVERIFY(QFile::setPermissions(ruta, QFile::permissions(ruta) | QFileDevice::ReadOther));
        QVERIFY(EscribirIni(ruta, "datos", "bd", "x.db"));
        QCOMPARE(QFile::permissions(ruta) & ajenos, QFileDevice::ReadOther);
    }

    void lectura_data()
    {
        QTest::addColumn<QByteArray>("linea");
        QTest::addColumn<QString>("esperado");
        const std::pair<const char *, const char *> casos[] = {
            {"lectura=5", "5"}, {"lectura=", "def"}, {"lectura=  \t ", "def"}, {"  lectura \t=  5 0  ", "5 0"},
            {"lectura=\" a b \"", " a b "}, {"lectura=\"\"", "def"}, {"lectura=\"abc", "\"abc"}, {"LECTURA=7", "7"},
            {"lectura=a=b", "a=b"}, {"lecturas=5", "def"}, {";lectura=5", "def"}};
        for (const auto &[linea, esperado] : casos)
            QTest::newRow(linea) << QByteArray(linea) << QString(esperado);
        QTest::newRow("300 caracteres") << "lectura=" + QByteArray(300, 'x') << QString(254, u'x');
    }
    void lectura()
    {
        QFETCH(QByteArray, linea);
        QFETCH(QString, esperado);
        escribirBytes("[otra]\r\nlectura=9\r\n[Comunicaciones]\r\n" + linea + "\r\n[tras]\r\nlectura=8\r\n");
        QCOMPARE(LeerIni(ruta, "comunicaciones", "lectura", "def"), esperado);
        QCOMPARE(LeerIni(ruta, " COMUNICACIONES ", "lectura", "def"), esperado);
    }

    void escrituraConserva_data()
    {
        QTest::addColumn<QByteArray>("antes");
        QTest::addColumn<QString>("seccion");
        QTest::addColumn<QString>("clave");
        QTest::addColumn<QByteArray>("despues");
        const QByteArray base = "; ajustes\n[Inicio]\nAutoArranque=1\nbasura sin igual\n\n[comunicaciones]\n"
                                "timeout=5\n  desconocida = x\n\n; fin\n";
        QTest::newRow("reemplazo en su sitio")
            << base << "inicio" << "autoarranque" << QByteArray(base).replace("AutoArranque=1", "autoarranque=NUEVO");
        QTest::newRow("clave nueva tras la ultima de su seccion") << base << "COMUNICACIONES" << "lectura"
                                                                   << QByteArray(base).replace("x\n\n", "x\nlectura=NUEVO\n\n");
        QTest::newRow("seccion nueva al final") << base << "cambiohora" << "hora1" << base + "[cambiohora]\nhora1=NUEVO\n";
        const char *const casos[][5] = {
            {"seccion vacia", "[a]\n[b]\nx=1\n", "a", "k", "[a]\nk=NUEVO\n[b]\nx=1\n"},
            {"sin salto final", "[a]\r\nx=1", "a", "k", "[a]\r\nx=1\r\nk=NUEVO"},
            {"seccion nueva sin salto final", "[a]\r\nx=1", "b", "k", "[a]\r\nx=1\r\n[b]\r\nk=NUEVO\r\n"},
            {"crlf conservado", "[a]\r\nx=1\r\n\r\n", "a", "x", "[a]\r\nx=NUEVO\r\n\r\n"},
            {"primera aparicion", "[a]\nx=1\nx=2\n[A]\nx=3\n", "a", "X", "[a]\nX=NUEVO\nx=2\n[A]\nx=3\n"},
            {"cabecera sin cierre", "[roto\nx=1\n", "ROTO", "x", "[roto\nx=NUEVO\n"}};
        for (const auto &c : casos)
            QTest::newRow(c[0]) << QByteArray(c[1]) << QString(c[2]) << QString(c[3]) << QByteArray(c[4]);
    }
    void escrituraConserva()
    {
        QFETCH(QByteArray, antes);
        QFETCH(QString, seccion);
        QFETCH(QString, clave);
        escribirBytes(antes);
        QVERIFY(EscribirIni(ruta, seccion, clave, "NUEVO"));
        QTEST(bytes(), "despues");
        QCOMPARE(LeerIni(ruta, seccion, clave), QString("NUEVO"));
    }

    // Windows-1252 unless the file is valid UTF-8 with a non-ASCII byte (a UTF-8
    // editor's); a write keeps the encoding and reads back as written.
    void codificacion_data()
    {
        QTest::addColumn<QByteArray>("antes");
        QTest::addColumn<QString>("bd");
        QTest::addColumn<QString>("escrito");
        QTest::addColumn<QByteArray>("despues");
        QTest::addColumn<bool>("cabeLodz"); // whether a path with "Łódź" can be stored
        QTest::newRow("windows-1252") << QByteArray("[datos]\nbd=A\xF1o\n") << "Año" << "ñ"
                                      << QByteArray("[datos]\nbd=A\xF1o\nx=\xF1\n") << false;
        QTest::newRow("utf-8") << QByteArray("[datos]\nbd=Año\n") << "Año" << "Łódź"
                               << QByteArray("[datos]\nbd=Año\nx=Łódź\n") << true;
        QTest::newRow("utf-8 with BOM") << QByteArray("\xEF\xBB\xBF[datos]\r\nbd=Año\r\n") << "Año" << "ñ"
                                        << QByteArray("\xEF\xBB\xBF[datos]\r\nbd=Año\r\nx=ñ\r\n") << true;
        // Its Windows-1252 bytes would read back as "ñ".
        QTest::newRow("ascii, value that looks like utf-8") << QByteArray("[datos]\nbd=Ano\n") << "Ano" << "Ã±"
                                                            << QByteArray("[datos]\nbd=Ano\nx=Ã±\n") << false;
    }
    void codificacion()
    {
        QFETCH(QByteArray, antes);
        QFETCH(QString, escrito);
        escribirBytes(antes);
        QTEST(LeerIni(ruta, "DATOS", "bd"), "bd");
        QTEST(PuedeGuardar(ruta, "C:\\Łódź\\zeb.db"), "cabeLodz");
        QVERIFY(EscribirIni(ruta, "datos", "x", escrito));
        QTEST(bytes(), "despues");
        QCOMPARE(LeerIni(ruta, "datos", "x"), escrito);
    }

    // A value cannot smuggle in a line of its own.
    void valorConSaltos()
    {
        QVERIFY(EscribirIni(ruta, "a", "x", "uno\r\n[b]\ny=2"));
        QCOMPARE(LeerIni(ruta, "b", "y", "nada"), QString("nada"));
        QCOMPARE(LeerIni(ruta, "a", "x"), QString("uno  [b] y=2"));
    }

    void archivosMalformados_data()
    {
        QTest::addColumn<QByteArray>("basura");
        QByteArray azar(64 * 1024, 0);
        QRandomGenerator gen(1234);
        for (char &c : azar)
            c = char(gen.bounded(256));
        QTest::newRow("binario al azar") << azar;
        QTest::newRow("bytes nulos") << QByteArrayLiteral("\0\0[a\0]\0x\0=\0\n");
        QTest::newRow("linea de 1 MB") << QByteArray(1024 * 1024, 'z');
        QTest::newRow("linea de 1 MB con igual") << "k=" + QByteArray(1024 * 1024, 'v');
        QTest::newRow("lineas sin igual") << QByteArray("uno\ndos\n[\n]\n=\n==\n");
        QTest::newRow("solo retornos") << QByteArray(10000, '\r');
        QTest::newRow("50 MB") << QByteArray(50 * 1024 * 1024, 'q');
    }
    void archivosMalformados()
    {
        QFETCH(QByteArray, basura);
        // Garbage first, then a readable section: what can be read is read.
        escribirBytes(basura + "\n[bien]\nk=ok\n");
        QCOMPARE(LeerIni(ruta, "bien", "k", "def"), QString("ok"));
        QCOMPARE(LeerIni(ruta, "nada", "k", "def"), QString("def"));
        QVERIFY(EscribirIni(ruta, "bien", "k", "nuevo"));
        QVERIFY(EscribirIni(ruta, "nueva", "k", "1"));
        QVERIFY(bytes().startsWith(basura));
        QCOMPARE(LeerIni(ruta, "bien", "k"), QString("nuevo"));
        QCOMPARE(LeerIni(ruta, "nueva", "k"), QString("1"));
    }

    void rutaConfig()
    {
        QVERIFY(!EscribirIni(dir.filePath("no/existe/config.ini"), "a", "b", "c"));
        FijarDirectorioPrograma(dir.path());
        QCOMPARE(RutaConfig(), dir.filePath("config.ini"));

        // Not writable (here: not even there): the per-user configuration folder.
        QStandardPaths::setTestModeEnabled(true);
        FijarDirectorioPrograma(dir.filePath("no/existe"));
        const QString propia = RutaConfig();
        QCOMPARE(propia, QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/config.ini");
        QVERIFY(QFileInfo(QFileInfo(propia).path()).isDir());

        // A read-only program folder: the administrator's file is still read;
        // a key written to the per-user copy wins, even empty.
        QFile::remove(propia);
        FijarDirectorioPrograma(dir.path(), true);
        QCOMPARE(RutaConfig(), propia);
        ruta = dir.filePath("config.ini");
        escribirBytes("[a]\nx=admin\ny=admin\nz=admin\n");
        QCOMPARE(LeerConfig("a", "x"), "admin");
        QVERIFY(EscribirConfig("a", "x", "propio") && EscribirConfig("A", "Y", ""));
        QCOMPARE(LeerConfig("a", "x") + LeerConfig("a", "y", "def") + LeerConfig("a", "z"), "propiodefadmin");
        QCOMPARE(bytes(), "[a]\nx=admin\ny=admin\nz=admin\n");
        FijarDirectorioPrograma(QString());
    }
};

QTEST_GUILESS_MAIN(TestStorageIni)
#include "test_storage_ini.moc"
