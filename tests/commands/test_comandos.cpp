// Terminal commands and the punch download against the terminal simulator,
// over TCP on loopback and over an RS-485 pseudo-terminal with echo, storing
// into a real SQLite file.

#include "mod_comunicaciones_kora.h"
#include "puerto_serie_qt.h"
#include "sim/simulador.h"
#include "socket_tcp_qt.h"

#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

using namespace MOD_comunicaciones_kora;
using korasim::EntradaLog;

namespace {

const QDateTime kMomento(QDate(2024, 3, 15), QTime(8, 5, 9));

QString hexDe(const QByteArray &b) { return QString::fromLatin1(b.toHex(' ')).toUpper(); }

// One simulator, the two shared transports and a fresh database per test.
struct Banco {
    korasim::Simulador sim;
    PuertoSerieQt puerto;
    SocketTcpQt socket;
    Cancelacion cancelar{false};
    Contexto ctx;
    QTemporaryDir dir;
    MOD_ado::CadenaConexion cc;

    Banco()
    {
        ctx.MSComm1 = &puerto;
        ctx.Winsock1 = &socket;
        ctx.TimeoutComunicaciones = 1;
        ctx.cancelar = &cancelar;
        cc.RutaBaseDatos = dir.filePath("zeb.db");
    }
    TerminalRecord tcp(quint8 codigo)
    {
        auto *g = QRandomGenerator::global();
        const QString ip = QStringLiteral("127.%1.%2.%3").arg(g->bounded(1, 250)).arg(g->bounded(1, 250)).arg(g->bounded(1, 250));
        sim.agregarTerminal(codigo);
        if (!sim.escucharTcp(codigo, QHostAddress(ip), kPuertoTcp))
            qFatal("simulator cannot listen on %s", qPrintable(ip));
        return {1, codigo, ip, QStringLiteral("T%1").arg(codigo), 2, 0};
    }
    TerminalRecord rs485(quint8 codigo)
    {
        sim.agregarTerminal(codigo);
        const QString dev = sim.abrirPty(korasim::Modo::RS485);
        puerto.setMapaPuertos({{1, dev}});
        return {1, codigo, {}, QStringLiteral("T%1").arg(codigo), 1, 1};
    }
    korasim::Terminal &t(int codigo) { return *sim.terminal(codigo); }
    TerminalRecord de(const QString &via, quint8 codigo) { return via == "tcp" ? tcp(codigo) : rs485(codigo); }

    QStringList peticiones() const
    {
        QStringList l;
        for (const auto &e : sim.registro())
            if (e.sentido == EntradaLog::Sentido::Peticion)
                l << hexDe(e.bytes);
        return l;
    }
    // Sub-functions of the command 7 requests, in order.
    QString subfunciones() const
    {
        QString s;
        for (const auto &e : sim.registro())
            if (e.sentido == EntradaLog::Sentido::Peticion && e.bytes.size() == 4 && quint8(e.bytes[1]) == 0xF1)
                s += QString::number(int(e.bytes[2]));
        return s;
    }
    QList<QStringList> filas(const QString &sql)
    {
        QList<QStringList> r;
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "lectura");
            db.setDatabaseName(cc.RutaBaseDatos);
            db.open();
            QSqlQuery q(sql, db);
            while (q.next()) {
                QStringList f;
                for (int i = 0; i < q.record().count(); ++i)
                    f << q.value(i).toString();
                r << f;
            }
        }
        QSqlDatabase::removeDatabase("lectura");
        return r;
    }
    int cuentaMarcajes() { return filas("SELECT count(*) FROM marcajes").value(0).value(0).toInt(); }
};

} // namespace

class TestComandos : public QObject {
    Q_OBJECT
private slots:
    void tramasDeCadaComando_data();
    void tramasDeCadaComando();
    void comandosQueNoSeEnvian();
    void leerRegistro_data();
    void leerRegistro();
    void leerRegistroRepara();
    void descargaNuevos_data();
    void descargaNuevos();
    void descargaTodosDesdeEscritura4499();
    void registrosDeTodaClase();
    void fallaLecturaTrasDiez();
    void anilloSinMarcaUnaVuelta();
    void baseDeDatosCaidaNoPierdeMarcajes();
    void fechasConAcarreo_data();
    void fechasConAcarreo();
    void relojEIncidencias();
};

void TestComandos::tramasDeCadaComando_data()
{
    QTest::addColumn<QString>("via");
    QTest::newRow("tcp") << "tcp";
    QTest::newRow("rs485") << "rs485";
}

void TestComandos::tramasDeCadaComando()
{
    QFETCH(QString, via);
    Banco b;
    const TerminalRecord t5 = b.de(via, 5);
    b.sim.agregarTerminal(1);
    TerminalRecord t1 = t5;
    t1.codigo = 1;
    if (via == "tcp")
        t1 = b.tcp(1);
    QByteArray r(31, 0);
    QCOMPARE(LeerPunteros(b.ctx, t5, r), quint8(0));
    for (int sub = 0; sub <= 2; ++sub)
        QCOMPARE(ComandoMarcajes(b.ctx, t5, qint16(sub), r), quint8(0));
    QVERIFY(EnviarFechaHora(b.ctx, t1, QDateTime(QDate(2026, 12, 4), QTime(9, 5, 7))));
    QCOMPARE(LeerIncidencia(b.ctx, t1, 5, r), 0);
    QCOMPARE(EnviarIncidencia(b.ctx, t1, 5, true, QStringLiteral("Medico")), 0);
    QCOMPARE(AsegurarIncidencias(b.ctx, t1), 0);
    QCOMPARE(b.peticiones(), QStringList({
        "05 F1 03 F9", "05 F1 00 F6", "05 F1 01 F7", "05 F1 02 F8",
        "01 49 07 05 09 05 04 12 26 A0",
        "01 73 04 78",
        "01 93 04 4D 65 64 69 63 6F 00 00 00 00 00 00 00 00 00 80 69",
        "01 93 FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 93"}));
    QCOMPARE(b.t(1).ordenesAsegurar(), 1);
    QCOMPARE(TextoIncidencia(b.t(1).incidencia(4)), QStringLiteral("Medico"));
}

void TestComandos::comandosQueNoSeEnvian()
{
    Banco b;
    TerminalRecord t = b.tcp(7);
    const QByteArray antes(31, 'x');
    QByteArray r = antes;

    TerminalRecord tipoRaro = t;
    tipoRaro.Tipo = 3;
    QCOMPARE(LeerFechaHora(b.ctx, tipoRaro, r), quint8(1));
    TerminalRecord codigoAncho = t;
    codigoAncho.codigo = 300;
    QCOMPARE(LeerFechaHora(b.ctx, codigoAncho, r), quint8(1));
    QCOMPARE(EnviarIncidencia(b.ctx, t, 0, true, "x"), 1);
    TerminalRecord serieSinPuerto{1, 7, {}, "S", 0, 9};
    b.puerto.setMapaPuertos({{9, b.dir.filePath("no-existe")}});
    QCOMPARE(LeerFechaHora(b.ctx, serieSinPuerto, r), quint8(1));
    QCOMPARE(r, antes);
    QVERIFY(b.peticiones().isEmpty());

    // A terminal that does not answer: status 1 and the output untouched.
    b.t(7).modificarFallos([](korasim::Fallos &f) { f.silencioso = true; });
    QCOMPARE(LeerFechaHora(b.ctx, t, r), quint8(1));
    QCOMPARE(r, antes);
}

void TestComandos::leerRegistro_data()
{
    QTest::addColumn<int>("lectura");
    QTest::addColumn<int>("posicion");
    QTest::addColumn<int>("localizar");
    QTest::addColumn<QString>("subs");
    QTest::addColumn<int>("lecturaFinal");
    QTest::newRow("en la posicion, sin localizar") << 10 << 10 << 0 << "0" << 11;
    QTest::newRow("en la posicion") << 10 << 10 << 1 << "30" << 11;
    QTest::newRow("una mas alla") << 11 << 10 << 1 << "31" << 11;
    QTest::newRow("tres mas alla") << 13 << 10 << 1 << "323231" << 11;
    QTest::newRow("vuelta del anillo") << 0 << 4499 << 1 << "31" << 0;
}

void TestComandos::leerRegistro()
{
    QFETCH(int, lectura);
    QFETCH(int, posicion);
    QFETCH(int, localizar);
    QFETCH(QString, subs);
    QFETCH(int, lecturaFinal);
    Banco b;
    const TerminalRecord t = b.tcp(5);
    auto &term = b.t(5);
    term.configurarAnillo(korasim::Relleno::Ceros, false);
    const auto registro = korasim::registroMarcaje(kMomento, 4242);
    term.escribirRegistro(posicion, registro);
    term.fijarPunteros(20, lectura);

    QByteArray r(31, 0);
    QCOMPARE(LeerRegistro(b.ctx, t, posicion, r, quint8(localizar)), quint8(0));
    QCOMPARE(r.left(14), korasim::aBytes(registro));
    QCOMPARE(b.subfunciones(), subs);
    QCOMPARE(term.punteroLectura(), lecturaFinal);
}

void TestComandos::leerRegistroRepara()
{
    Banco b;
    const TerminalRecord t = b.tcp(5);
    auto &term = b.t(5);
    term.configurarAnillo(korasim::Relleno::Ceros, false);
    term.escribirRegistro(10, korasim::registroMarcaje(kMomento, 1));
    term.fijarPunteros(20, 10);
    QByteArray r(31, 0);

    // The read-next answer is lost after the pointer moved: repaired with "repeat previous".
    term.modificarFallos([](korasim::Fallos &f) { f.perderLecturaCada = 1; });
    QCOMPARE(LeerRegistro(b.ctx, t, 10, r, 0), quint8(0));
    QCOMPARE(b.subfunciones(), QString("031"));

    // A terminal that never confirms a step back: one order and three retries, then failure.
    b.sim.limpiarRegistro();
    term.fijarFallos({});
    term.modificarFallos([](korasim::Fallos &f) { f.ignorarRetroceso = true; });
    term.fijarPunteros(20, 15);
    QCOMPARE(LeerRegistro(b.ctx, t, 10, r, 1), quint8(3));
    QCOMPARE(b.subfunciones(), QString("3" "23" "23" "23" "23"));
}

void TestComandos::descargaNuevos_data() { tramasDeCadaComando_data(); }

void TestComandos::descargaNuevos()
{
    QFETCH(QString, via);
    Banco b;
    const TerminalRecord t = b.de(via, 3);
    auto &term = b.t(3);

    // A new terminal with nothing recorded: equal pointers, no step back.
    long contador = 0;
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 0), quint8(0));
    QCOMPARE(contador, 0L);
    QVERIFY(!b.subfunciones().contains('2'));

    for (int i = 0; i < 5; ++i)
        term.agregarMarcaje(kMomento.addSecs(i), 100 + i);
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 0), quint8(0));
    QCOMPARE(contador, 5L);

    // Nothing new: the guard re-read finds stored punches and stores nothing twice.
    term.agregarMarcaje(kMomento.addSecs(60), 200);
    term.agregarMarcaje(kMomento.addSecs(61), 201);
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 0), quint8(0));
    QCOMPARE(contador, 7L);
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 0), quint8(0));
    QCOMPARE(contador, 7L);
    QCOMPARE(b.cuentaMarcajes(), 7);
}

void TestComandos::descargaTodosDesdeEscritura4499()
{
    Banco b;
    const TerminalRecord t = b.tcp(4);
    auto &term = b.t(4);
    term.configurarAnillo(korasim::Relleno::MarcaFin, false);
    for (int i = 0; i < 3; ++i)
        term.escribirRegistro(i, korasim::registroMarcaje(kMomento.addSecs(i), 7));
    term.fijarPunteros(4499, 1);
    long contador = 5;
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 1), quint8(0));
    QCOMPARE(contador, 8L);
    QVERIFY(b.subfunciones().startsWith("331")); // pointers, locate, then "repeat previous" for slot 0
}

void TestComandos::registrosDeTodaClase()
{
    Banco b;
    const TerminalRecord t = b.tcp(9);
    auto &term = b.t(9);
    auto en = [](int y, int mo, int d) { return QDateTime(QDate(y, mo, d), QTime(10, 0, 0)); };
    std::vector<korasim::Registro> rs;
    rs.push_back(korasim::registroMarcaje(en(2024, 1, 1), 1, 0x04));        // ignored
    auto doble6 = korasim::registrosMarcajeDoble(en(2024, 1, 2), 2, 77, 0x04); // flags 6: two-slot, stored as 0
    rs.insert(rs.end(), doble6.begin(), doble6.end());
    auto doble3 = korasim::registrosMarcajeDoble(en(2024, 1, 3), 3, 0xFFFFFFFF, 0x01); // flags 3
    rs.insert(rs.end(), doble3.begin(), doble3.end());
    rs.push_back(korasim::registroMarcaje(en(2024, 1, 4), 4, 0x09));              // flags 9 kept whole
    rs.push_back(korasim::registroMarcaje(en(2024, 1, 5), 0));                     // card 0
    rs.push_back(korasim::registroMarcaje(en(2024, 1, 6), 0xFFFFFFFF, 0, 12));     // biggest card
    rs.push_back(korasim::conChecksumErroneo(korasim::registroMarcaje(en(2024, 1, 7), 7)));
    rs.push_back(korasim::registroMarcaje(en(1999, 1, 8), 8));
    rs.push_back(korasim::registroMarcaje(en(1930, 1, 9), 9));
    rs.push_back(korasim::registroMarcaje(en(2024, 1, 6), 99999)); // same second as card 0xFFFFFFFF: duplicate
    term.agregarRegistros(rs);

    long contador = 0;
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 0), quint8(0));
    QCOMPARE(contador, 6L);
    const auto filas = b.filas("SELECT fechahora, numero_terminal, codigo_incidencia, entrada_salida, tarjeta, "
                               "subcodigo, tipo, habilitado FROM marcajes ORDER BY id");
    QCOMPARE(filas, (QList<QStringList>{
        {"2024-01-02 10:00:00", "9", "0", "0", "2", "77", "0", "1"},
        {"2024-01-03 10:00:00", "9", "0", "1", "3", "4294967295", "0", "1"},
        {"2024-01-04 10:00:00", "9", "0", "9", "4", "0", "0", "1"},
        {"2024-01-06 10:00:00", "9", "12", "0", "4294967295", "0", "0", "1"},
        {"1999-01-08 10:00:00", "9", "0", "0", "8", "0", "0", "1"},
        {"1930-01-09 10:00:00", "9", "0", "0", "9", "0", "0", "1"}}));
}

void TestComandos::fallaLecturaTrasDiez()
{
    Banco b;
    const TerminalRecord t = b.tcp(2);
    auto &term = b.t(2);
    term.configurarAnillo(korasim::Relleno::Ceros, true);
    for (int i = 0; i < 15; ++i)
        term.agregarMarcaje(kMomento.addSecs(i), 1);
    long contador = 3;
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 0, nullptr, [&](const ProgresoDescarga &p) {
                 if (p.contador == 13)
                     term.modificarFallos([](korasim::Fallos &f) { f.silencioso = true; });
             }),
             quint8(0));
    QCOMPARE(contador, 13L);
    QCOMPARE(b.cuentaMarcajes(), 10);
}

void TestComandos::anilloSinMarcaUnaVuelta()
{
    Banco b;
    const TerminalRecord t = b.tcp(6);
    b.t(6).configurarAnillo(korasim::Relleno::Ceros, false); // card 0 everywhere, no end marker
    b.t(6).fijarPunteros(100, 101);
    long contador = 0;
    QCOMPARE(LeerMarcajes(b.ctx, t, b.cc, contador, 1), quint8(0));
    QCOMPARE(b.subfunciones().count('0'), kPosicionesAnillo);
}

void TestComandos::baseDeDatosCaidaNoPierdeMarcajes()
{
    Banco b;
    const TerminalRecord t = b.tcp(8);
    auto &term = b.t(8);
    for (int i = 0; i < 5; ++i)
        term.agregarMarcajeDoble(kMomento.addSecs(i), 500 + i, 9000 + i);

    // The database becomes unusable (its path turns into a folder) after two punches.
    MOD_ado::CadenaConexion cc = b.cc;
    const QString buena = cc.RutaBaseDatos;
    long contador = 0;
    QString error;
    QCOMPARE(LeerMarcajes(b.ctx, t, cc, contador, 0, &error, [&](const ProgresoDescarga &p) {
                 if (p.contador == 2)
                     cc.RutaBaseDatos = b.dir.path();
             }),
             quint8(0));
    QCOMPARE(contador, 2L);
    QVERIFY(!error.isEmpty());

    cc.RutaBaseDatos = buena;
    error.clear();
    QCOMPARE(LeerMarcajes(b.ctx, t, cc, contador, 0, &error), quint8(0));
    QVERIFY(error.isEmpty());
    QCOMPARE(contador, 5L);
    QCOMPARE(b.filas("SELECT count(*), count(DISTINCT subcodigo) FROM marcajes").value(0),
             QStringList({"5", "5"}));
}

void TestComandos::fechasConAcarreo_data()
{
    QTest::addColumn<QByteArray>("bytes"); // second, minute, hour, day, month, year
    QTest::addColumn<QString>("esperado");
    QTest::newRow("24") << QByteArray("\x09\x05\x08\x0F\x03\x18", 6) << "2024-03-15 08:05:09";
    QTest::newRow("99") << QByteArray("\x00\x00\x00\x01\x01\x63", 6) << "1999-01-01 00:00:00";
    QTest::newRow("30") << QByteArray("\x00\x00\x00\x01\x01\x1E", 6) << "1930-01-01 00:00:00";
    QTest::newRow("month 13") << QByteArray("\x00\x00\x00\x01\x0D\x18", 6) << "2025-01-01 00:00:00";
    QTest::newRow("day 0") << QByteArray("\x00\x00\x00\x00\x03\x18", 6) << "2024-02-29 00:00:00";
    QTest::newRow("minute 60") << QByteArray("\x00\x3C\x17\x1F\x0C\x18", 6) << "2025-01-01 00:00:00";
    QTest::newRow("year 100, month 0") << QByteArray("\x00\x00\x00\x01\x00\x64", 6) << "";
    QTest::newRow("year 255") << QByteArray("\x00\x00\x00\x01\x01\xFF", 6) << "0255-01-01 00:00:00";
}

void TestComandos::fechasConAcarreo()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, esperado);
    const QDateTime m = ComponerFechaHora(bytes);
    QCOMPARE(m.isValid() ? m.toString("yyyy-MM-dd HH:mm:ss") : QString(), esperado);
}

void TestComandos::relojEIncidencias()
{
    QCOMPARE(hexDe(RegistroReloj(QDateTime(QDate(2000, 1, 2), QTime(23, 59, 59)))), QString("59 59 23 07 02 01 00"));
    QCOMPARE(hexDe(RegistroReloj(QDateTime(QDate(2029, 12, 31), QTime(0, 0)))), QString("00 00 00 01 31 12 29"));
    QCOMPARE(quint8(RegistroReloj(QDateTime(QDate(2105, 6, 1), QTime(0, 0)))[6]), quint8(0x05));

    QCOMPARE(hexDe(CampoIncidencia(QString(), true)), QString("00 ").repeated(15) + "80");
    const QByteArray largo = CampoIncidencia(QStringLiteral("Control de acceso"), true);
    QCOMPARE(quint8(largo[15]), quint8(0xF3));
    QCOMPARE(TextoIncidencia(largo), QStringLiteral("Control de acce"));
    QCOMPARE(TextoIncidencia(CampoIncidencia(QStringLiteral("Baja médica"), false)), QStringLiteral("Baja m"));
    QCOMPARE(TextoIncidencia(QByteArray("Vac\0\0aciones", 12)), QStringLiteral("Vacaciones"));

    // Through the bus: the raw clock record comes back unchanged, even when it is not BCD.
    Banco b;
    const TerminalRecord t = b.rs485(1);
    b.t(1).fijarRespuestaReloj(korasim::RegistroReloj{0x07, 0x05, 0x09, 0x0E, 0x04, 0x12, 0x26});
    QByteArray r(31, 0);
    QCOMPARE(LeerFechaHora(b.ctx, t, r), quint8(0));
    QCOMPARE(hexDe(r.left(7)), QString("07 05 09 0E 04 12 26"));
    QCOMPARE(EnviarIncidencia(b.ctx, t, 99, false, QStringLiteral("Médico")), 0);
    QCOMPARE(LeerIncidencia(b.ctx, t, 99, r), 0);
    QCOMPARE(TextoIncidencia(r.left(16)), QStringLiteral("M"));
}

QTEST_GUILESS_MAIN(TestComandos)
#include "test_comandos.moc"
