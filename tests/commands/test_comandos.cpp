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
    Contexto ctx{.MSComm1 = &puerto, .Winsock1 = &socket, .TimeoutComunicaciones = 1, .cancelar = &cancelar};
    QTemporaryDir dir;
    MOD_ado::CadenaConexion cc{dir.filePath("zeb.db"), {}};

    // A terminal on its own loopback address, or on the RS-485 bus of port 1.
    TerminalRecord alta(quint8 codigo, bool rs485 = false)
    {
        sim.agregarTerminal(codigo);
        if (rs485) {
            puerto.setMapaPuertos({{1, sim.abrirPty(korasim::Modo::RS485)}});
            return {1, codigo, {}, QStringLiteral("T%1").arg(codigo), 1, 1};
        }
        auto *g = QRandomGenerator::global();
        const QString ip =
            QStringLiteral("127.%1.%2.%3").arg(g->bounded(1, 250)).arg(g->bounded(1, 250)).arg(g->bounded(1, 250));
        if (!sim.escucharTcp(codigo, QHostAddress(ip), kPuertoTcp))
            qFatal("simulator cannot listen on %s", qPrintable(ip));
        return {1, codigo, ip, QStringLiteral("T%1").arg(codigo), 2, 0};
    }
    korasim::Terminal &t(int codigo) { return *sim.terminal(codigo); }

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
        for (const QString &p : peticiones())
            s += p.size() == 11 && p.mid(3, 2) == "F1" ? p.mid(7, 1) : QString();
        return s;
    }
    QList<QStringList> filas(const QString &sql)
    {
        QList<QStringList> r;
        {
            auto db = QSqlDatabase::addDatabase("QSQLITE", "lectura");
            db.setDatabaseName(cc.RutaBaseDatos);
            db.open();
            for (QSqlQuery q(sql, db); q.next();) {
                r.append(QStringList());
                for (int i = 0; i < q.record().count(); ++i)
                    r.last() << q.value(i).toString();
            }
        }
        QSqlDatabase::removeDatabase("lectura");
        return r;
    }
    int cuentaMarcajes() { return filas("SELECT count(*) FROM marcajes").value(0).value(0).toInt(); }
    // The punch counter after one download; -1 when the download reports failure.
    long descargar(const TerminalRecord &t, quint8 modo = 0, long contador = 0, QString *error = nullptr,
                   const std::function<void(const ProgresoDescarga &)> &alAvanzar = {})
    {
        return LeerMarcajes(ctx, t, cc, contador, modo, error, alAvanzar) == 0 ? contador : -1;
    }
};

} // namespace

class TestComandos : public QObject {
    Q_OBJECT
private slots:
    void tramasDeCadaComando_data() { descargaNuevos_data(); }
    void tramasDeCadaComando()
    {
        QFETCH(bool, rs485);
        Banco b;
        const TerminalRecord t5 = b.alta(5, rs485);
        TerminalRecord t1 = t5;
        t1.codigo = 1; // on the same bus over RS-485
        if (rs485)
            b.sim.agregarTerminal(1);
        else
            t1 = b.alta(1);
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
    }

    // Status 1, nothing sent and the output untouched.
    void comandosQueNoSeEnvian()
    {
        Banco b;
        const TerminalRecord t = b.alta(7);
        const QByteArray antes(31, 'x');
        QByteArray r = antes;
        TerminalRecord tipoRaro = t, codigoAncho = t, serieSinPuerto{1, 7, {}, "S", 0, 9};
        tipoRaro.Tipo = 3;
        codigoAncho.codigo = 300;
        b.puerto.setMapaPuertos({{9, b.dir.filePath("no-existe")}});
        for (const TerminalRecord &x : {tipoRaro, codigoAncho, serieSinPuerto})
            QCOMPARE(LeerFechaHora(b.ctx, x, r), quint8(1));
        QCOMPARE(EnviarIncidencia(b.ctx, t, 0, true, "x"), 1);
        QVERIFY(b.peticiones().isEmpty());
        b.t(7).modificarFallos([](korasim::Fallos &f) { f.silencioso = true; });
        QCOMPARE(LeerFechaHora(b.ctx, t, r), quint8(1));
        QCOMPARE(r, antes);
    }

    void leerRegistro_data()
    {
        QTest::addColumn<int>("lectura");
        QTest::addColumn<int>("posicion");
        QTest::addColumn<int>("localizar");
        QTest::addColumn<int>("fallo");
        QTest::addColumn<QString>("subs");
        QTest::addColumn<int>("resultado");
        QTest::newRow("en la posicion, sin localizar") << 10 << 10 << 0 << 0 << "0" << 0;
        QTest::newRow("en la posicion") << 10 << 10 << 1 << 0 << "30" << 0;
        QTest::newRow("una mas alla") << 11 << 10 << 1 << 0 << "31" << 0;
        QTest::newRow("tres mas alla") << 13 << 10 << 1 << 0 << "323231" << 0;
        QTest::newRow("vuelta del anillo") << 0 << 4499 << 1 << 0 << "31" << 0;
        QTest::newRow("respuesta perdida: repetir anterior") << 10 << 10 << 0 << 1 << "031" << 0;
        // One order and three retries, then failure.
        QTest::newRow("retroceso nunca confirmado") << 15 << 10 << 1 << 2 << "3" "23" "23" "23" "23" << 3;
    }
    void leerRegistro()
    {
        QFETCH(int, lectura);
        QFETCH(int, posicion);
        QFETCH(int, localizar);
        QFETCH(int, fallo);
        QFETCH(int, resultado);
        Banco b;
        const TerminalRecord t = b.alta(5);
        auto &term = b.t(5);
        term.configurarAnillo(korasim::Relleno::Ceros, false);
        const auto registro = korasim::registroMarcaje(kMomento, 4242);
        term.escribirRegistro(posicion, registro);
        term.fijarPunteros(20, lectura);
        term.modificarFallos([&](korasim::Fallos &f) {
            f.perderLecturaCada = fallo == 1; // 1: every read-next answer is lost after the pointer moved
            f.ignorarRetroceso = fallo == 2;  // 2: steps back are answered but never made
        });
        QByteArray r(31, 0);
        QCOMPARE(LeerRegistro(b.ctx, t, posicion, r, quint8(localizar)), quint8(resultado));
        QTEST(b.subfunciones(), "subs");
        if (resultado == 0) {
            QCOMPARE(r.left(14), korasim::aBytes(registro));
            QCOMPARE(term.punteroLectura(), (posicion + 1) % kPosicionesAnillo);
        }
    }

    // Never-written slots hold the end marker or zeros: the guard re-read of slot 4499 must not stop a download.
    void descargaNuevos_data()
    {
        QTest::addColumn<bool>("rs485");
        QTest::addColumn<bool>("ceros");
        QTest::newRow("tcp") << false << false;
        QTest::newRow("rs485") << true << true;
    }
    void descargaNuevos()
    {
        QFETCH(bool, rs485);
        QFETCH(bool, ceros);
        Banco b;
        const TerminalRecord t = b.alta(3, rs485);
        auto &term = b.t(3);
        term.configurarAnillo(ceros ? korasim::Relleno::Ceros : korasim::Relleno::MarcaFin);
        QCOMPARE(b.descargar(t), 0L);
        QVERIFY(!b.subfunciones().contains('2')); // equal pointers: no step back
        for (int i = 0; i < 5; ++i)
            term.agregarMarcaje(kMomento.addSecs(i), 100 + i);
        QCOMPARE(b.descargar(t), 5L);
        // The guard re-read finds a stored punch and stores nothing twice.
        term.agregarMarcaje(kMomento.addSecs(60), 200);
        term.agregarMarcaje(kMomento.addSecs(61), 201);
        QCOMPARE(b.descargar(t), 2L);
        QCOMPARE(b.descargar(t), 0L);
        QCOMPARE(b.cuentaMarcajes(), 7);
    }

    void registrosDeTodaClase()
    {
        Banco b;
        const TerminalRecord t = b.alta(9);
        auto en = [](int y, int mo, int d) { return QDateTime(QDate(y, mo, d), QTime(10, 0, 0)); };
        const auto doble6 = korasim::registrosMarcajeDoble(en(2024, 1, 2), 2, 77, 0x04); // flags 6: stored as 0
        const auto doble3 = korasim::registrosMarcajeDoble(en(2024, 1, 3), 3, 0xFFFFFFFF, 0x01); // flags 3
        b.t(9).agregarRegistros({
            korasim::registroMarcaje(en(2024, 1, 1), 1, 0x04), // ignored
            doble6[0], doble6[1], doble3[0], doble3[1],
            korasim::registroMarcaje(en(2024, 1, 4), 4, 0x09),          // flags 9 kept whole
            korasim::registroMarcaje(en(2024, 1, 5), 0),                 // card 0
            korasim::registroMarcaje(en(2024, 1, 6), 0xFFFFFFFF, 0, 12), // biggest card
            korasim::conChecksumErroneo(korasim::registroMarcaje(en(2024, 1, 7), 7)),
            korasim::registroMarcaje(en(1999, 1, 8), 8),
            korasim::registroMarcaje(en(1930, 1, 9), 9),
            korasim::registroMarcaje(en(2024, 1, 6), 99999), // same second as card 0xFFFFFFFF: duplicate
        });
        QCOMPARE(b.descargar(t), 6L);
        QCOMPARE(b.filas("SELECT fechahora, numero_terminal, codigo_incidencia, entrada_salida, tarjeta, "
                         "subcodigo, tipo, habilitado FROM marcajes ORDER BY id"),
                 (QList<QStringList>{{"2024-01-02 10:00:00", "9", "0", "0", "2", "77", "0", "1"},
                                     {"2024-01-03 10:00:00", "9", "0", "1", "3", "4294967295", "0", "1"},
                                     {"2024-01-04 10:00:00", "9", "0", "9", "4", "0", "0", "1"},
                                     {"2024-01-06 10:00:00", "9", "12", "0", "4294967295", "0", "0", "1"},
                                     {"1999-01-08 10:00:00", "9", "0", "0", "8", "0", "0", "1"},
                                     {"1930-01-09 10:00:00", "9", "0", "0", "9", "0", "0", "1"}}));
    }

    // The terminal stops answering after ten punches: the download ends with what it stored.
    void fallaLecturaTrasDiez()
    {
        Banco b;
        const TerminalRecord t = b.alta(2);
        auto &term = b.t(2);
        term.configurarAnillo(korasim::Relleno::Ceros, true);
        for (int i = 0; i < 15; ++i)
            term.agregarMarcaje(kMomento.addSecs(i), 1);
        QCOMPARE(b.descargar(t, 0, 3, nullptr, [&](const ProgresoDescarga &p) {
                     if (p.contador == 13)
                         term.modificarFallos([](korasim::Fallos &f) { f.silencioso = true; });
                 }),
                 13L);
        QCOMPARE(b.cuentaMarcajes(), 10);
    }

    // Mode 1 starts after the write pointer; without an end marker it stops after one full turn.
    void descargaTodos()
    {
        Banco b;
        const TerminalRecord t = b.alta(4);
        b.t(4).configurarAnillo(korasim::Relleno::MarcaFin, false);
        for (int i = 0; i < 3; ++i)
            b.t(4).escribirRegistro(i, korasim::registroMarcaje(kMomento.addSecs(i), 7));
        b.t(4).fijarPunteros(4499, 1);
        QCOMPARE(b.descargar(t, 1, 5), 8L);
        QVERIFY(b.subfunciones().startsWith("331")); // pointers, locate, then "repeat previous" for slot 0

        b.sim.limpiarRegistro();
        b.t(4).configurarAnillo(korasim::Relleno::Ceros, false); // card 0 everywhere, no end marker
        b.t(4).fijarPunteros(100, 101);
        QCOMPARE(b.descargar(t, 1), 0L);
        QCOMPARE(b.subfunciones().count('0'), kPosicionesAnillo);
    }

    void baseDeDatosCaidaNoPierdeMarcajes()
    {
        Banco b;
        const TerminalRecord t = b.alta(8);
        for (int i = 0; i < 5; ++i)
            b.t(8).agregarMarcajeDoble(kMomento.addSecs(i), 500 + i, 9000 + i);
        // The database becomes unusable (its path turns into a folder) after two punches.
        const QString buena = b.cc.RutaBaseDatos;
        QString error;
        QCOMPARE(b.descargar(t, 0, 0, &error, [&](const ProgresoDescarga &p) {
                     if (p.contador == 2)
                         b.cc.RutaBaseDatos = b.dir.path();
                 }),
                 2L);
        QVERIFY(!error.isEmpty());
        error.clear();
        b.cc.RutaBaseDatos = buena;
        QCOMPARE(b.descargar(t, 0, 2, &error), 5L);
        QVERIFY(error.isEmpty());
        QCOMPARE(b.filas("SELECT count(*), count(DISTINCT subcodigo) FROM marcajes").value(0), QStringList({"5", "5"}));
    }

    void fechasConAcarreo_data()
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
    void fechasConAcarreo()
    {
        QFETCH(QByteArray, bytes);
        const QDateTime m = ComponerFechaHora(bytes);
        QTEST(m.isValid() ? m.toString("yyyy-MM-dd HH:mm:ss") : QString(), "esperado");
    }

    void relojEIncidencias()
    {
        QCOMPARE(hexDe(RegistroReloj(QDateTime(QDate(2000, 1, 2), QTime(23, 59, 59)))), "59 59 23 07 02 01 00");
        QCOMPARE(hexDe(RegistroReloj(QDateTime(QDate(2029, 12, 31), QTime(0, 0)))), "00 00 00 01 31 12 29");
        QCOMPARE(quint8(RegistroReloj(QDateTime(QDate(2105, 6, 1), QTime(0, 0)))[6]), quint8(0x05));

        QCOMPARE(hexDe(CampoIncidencia(QString(), true)), QString("00 ").repeated(15) + "80");
        const QByteArray largo = CampoIncidencia(QStringLiteral("Control de acceso"), true);
        QCOMPARE(quint8(largo[15]), quint8(0xF3));
        QCOMPARE(TextoIncidencia(largo), QStringLiteral("Control de acce"));

        // Through the bus: the raw clock record comes back unchanged, even when it is not BCD.
        Banco b;
        const TerminalRecord t = b.alta(1, true);
        b.t(1).fijarRespuestaReloj(korasim::RegistroReloj{0x07, 0x05, 0x09, 0x0E, 0x04, 0x12, 0x26});
        QByteArray r(31, 0);
        QCOMPARE(LeerFechaHora(b.ctx, t, r), quint8(0));
        QCOMPARE(hexDe(r.left(7)), "07 05 09 0E 04 12 26");
        QCOMPARE(EnviarIncidencia(b.ctx, t, 99, false, QStringLiteral("Médico")), 0);
        QCOMPARE(LeerIncidencia(b.ctx, t, 99, r), 0);
        QCOMPARE(TextoIncidencia(r.left(16)), QStringLiteral("M"));
    }
};

QTEST_GUILESS_MAIN(TestComandos)
#include "test_comandos.moc"
