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
    int caso = 0;

    void escribir(const QByteArray &b)
    {
        QFile f(ruta);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(b) == b.size());
    }
    QByteArray bytes()
    {
        QFile f(ruta);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Rows of the tables below; moc takes no type among the slots.
    struct Escritura { QString antes, seccion, clave, despues; };
private slots:
    void init() { ruta = dir.filePath(QStringLiteral("config_%1.ini").arg(++caso)); }

    // Created on the first write, in Windows-1252, for its owner only (it may
    // come to hold the database password); a mode the administrator chose is
    // kept. A line break in a value cannot start a line of its own.
    void archivoNuevo()
    {
        QCOMPARE(LeerIni(ruta, "Incidencias", "texto", "1"), QString("1"));
        QVERIFY(!QFile::exists(ruta));
        QVERIFY(EscribirIni(ruta, "Incidencias", "texto", "Año ñ €\r\n[b]\ny=2"));
        QCOMPARE(bytes(), QByteArray("[Incidencias]\r\ntexto=A\xF1o \xF1 \x80  [b] y=2\r\n"));
        QCOMPARE(LeerIni(ruta, "incidencias", "TEXTO"), QString("Año ñ €  [b] y=2"));
        const auto ajenos = QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                            | QFileDevice::WriteOther;
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
        escribir("[otra]\r\nlectura=9\r\n[Comunicaciones]\r\n" + linea + "\r\n[tras]\r\nlectura=8\r\n");
        QTEST(LeerIni(ruta, "comunicaciones", "lectura", "def"), "esperado");
        QTEST(LeerIni(ruta, " COMUNICACIONES ", "lectura", "def"), "esperado");
    }

    // A write changes one line or adds the key after the last one of its
    // section (or a new section at the end); everything else stays as it was.
    void escrituraConserva_data()
    {
        QTest::addColumn<Escritura>("f");
        const QString base = "; ajustes\n[Inicio]\nAutoArranque=1\nbasura sin igual\n\n[comunicaciones]\n"
                             "timeout=5\n  desconocida = x\n\n; fin\n";
        QTest::newRow("reemplazo en su sitio")
            << Escritura{base, "inicio", "autoarranque", QString(base).replace("AutoArranque=1", "autoarranque=NUEVO")};
        QTest::newRow("clave nueva tras la ultima de su seccion")
            << Escritura{base, "COMUNICACIONES", "lectura", QString(base).replace("x\n\n", "x\nlectura=NUEVO\n\n")};
        QTest::newRow("seccion nueva al final") << Escritura{base, "cambiohora", "hora1", base + "[cambiohora]\nhora1=NUEVO\n"};
        const char *const casos[][5] = {
            {"seccion vacia", "[a]\n[b]\nx=1\n", "a", "k", "[a]\nk=NUEVO\n[b]\nx=1\n"},
            {"sin salto final", "[a]\r\nx=1", "a", "k", "[a]\r\nx=1\r\nk=NUEVO"},
            {"seccion nueva sin salto final", "[a]\r\nx=1", "b", "k", "[a]\r\nx=1\r\n[b]\r\nk=NUEVO\r\n"},
            {"crlf conservado", "[a]\r\nx=1\r\n\r\n", "a", "x", "[a]\r\nx=NUEVO\r\n\r\n"},
            {"primera aparicion", "[a]\nx=1\nx=2\n[A]\nx=3\n", "a", "X", "[a]\nX=NUEVO\nx=2\n[A]\nx=3\n"},
            {"cabecera sin cierre", "[roto\nx=1\n", "ROTO", "x", "[roto\nx=NUEVO\n"}};
        for (const auto &c : casos)
            QTest::newRow(c[0]) << Escritura{c[1], c[2], c[3], c[4]};
    }
    void escrituraConserva()
    {
        QFETCH(Escritura, f);
        escribir(f.antes.toLatin1());
        QVERIFY(EscribirIni(ruta, f.seccion, f.clave, "NUEVO"));
        QCOMPARE(bytes(), f.despues.toLatin1());
        QCOMPARE(LeerIni(ruta, f.seccion, f.clave), QString("NUEVO"));
    }

    // Windows-1252 unless the file is valid UTF-8 with a non-ASCII byte (a UTF-8
    // editor's); a write keeps the encoding and reads back as written.
    void codificacion()
    {
        // cabeLodz: whether a path with "Łódź" can be stored.
        struct Codificacion { QByteArray antes; QString bd, escrito; QByteArray despues; bool cabeLodz; };
        const Codificacion casos[] = {
            {"[datos]\nbd=A\xF1o\n", "Año", "ñ", "[datos]\nbd=A\xF1o\nx=\xF1\n", false},
            {"[datos]\nbd=Año\n", "Año", "Łódź", "[datos]\nbd=Año\nx=Łódź\n", true},
            {"\xEF\xBB\xBF[datos]\r\nbd=Año\r\n", "Año", "ñ", "\xEF\xBB\xBF[datos]\r\nbd=Año\r\nx=ñ\r\n", true},
            {"[datos]\nbd=Ano\n", "Ano", "Ã±", "[datos]\nbd=Ano\nx=Ã±\n", false}}; // ASCII; its Windows-1252 bytes read as "ñ"
        for (const auto &[antes, bd, escrito, despues, cabeLodz] : casos) {
            escribir(antes);
            QCOMPARE(LeerIni(ruta, "DATOS", "bd"), bd);
            QCOMPARE(PuedeGuardar(ruta, "C:\\Łódź\\zeb.db"), cabeLodz);
            QVERIFY(EscribirIni(ruta, "datos", "x", escrito));
            QCOMPARE(bytes(), despues);
            QCOMPARE(LeerIni(ruta, "datos", "x"), escrito);
        }
    }

    // Garbage first, then a readable section: what can be read is read, and
    // a write leaves the garbage as it was.
    void archivosMalformados()
    {
        QByteArray azar(64 * 1024, 0);
        QRandomGenerator gen(1234);
        for (char &c : azar)
            c = char(gen.bounded(256));
        for (const QByteArray &basura : {azar, QByteArrayLiteral("\0\0[a\0]\0x\0=\0\n"), QByteArray(1024 * 1024, 'z'),
                                         "k=" + QByteArray(1024 * 1024, 'v'), QByteArray(10000, '\r'),
                                         QByteArray(50 * 1024 * 1024, 'q')}) {
            escribir(basura + "\n[bien]\nk=ok\n");
            QCOMPARE(LeerIni(ruta, "bien", "k", "def") + LeerIni(ruta, "nada", "k", "def"), QString("okdef"));
            QVERIFY(EscribirIni(ruta, "bien", "k", "nuevo") && EscribirIni(ruta, "nueva", "k", "1"));
            QVERIFY(bytes().startsWith(basura));
            QCOMPARE(LeerIni(ruta, "bien", "k") + LeerIni(ruta, "nueva", "k"), QString("nuevo1"));
        }
    }

    // config.ini beside the program; where that folder cannot be written
    // (here: it is not even there), or is a system one (even for root), in the
    // per-user configuration folder. A read-only one is still read, and a key
    // of the per-user copy wins, even empty.
    void rutaConfig()
    {
        QVERIFY(!EscribirIni(dir.filePath("no/existe/config.ini"), "a", "b", "c"));
        QStandardPaths::setTestModeEnabled(true);
        const QString propia = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/config.ini";
        for (const QString &carpeta : {dir.filePath("no/existe"), QString("/usr/bin")}) {
            FijarDirectorioPrograma(carpeta);
            QCOMPARE(RutaConfig(), propia);
        }
        QVERIFY(QFileInfo(QFileInfo(propia).path()).isDir());
        QFile::remove(propia);
        FijarDirectorioPrograma(dir.path(), true);
        ruta = dir.filePath("config.ini");
        escribir("[a]\nx=admin\ny=admin\n");
        QVERIFY(EscribirConfig("A", "Y", ""));
        QCOMPARE(LeerConfig("a", "x") + LeerConfig("a", "y", "def"), "admindef");
        QCOMPARE(bytes(), "[a]\nx=admin\ny=admin\n");
        // Cut as the original files expect, unless asked whole (a server's address).
        QVERIFY(EscribirConfig("datos", "bd", QString(300, u'u')));
        QCOMPARE(QList<qsizetype>({LeerConfig("datos", "bd").size(), LeerConfig("datos", "bd", {}, true).size()}),
                 QList<qsizetype>({254, 300}));
        FijarDirectorioPrograma(QString());
    }
};

QTEST_GUILESS_MAIN(TestStorageIni)
#include "test_storage_ini.moc"
