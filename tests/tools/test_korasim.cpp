// The simulator must answer exactly as terminals do: the code under test is
// only as trustworthy as this. Everything goes through real transports.

#include "sim/simulador.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTest>
#include <thread>

using namespace korasim;

namespace {

QHostAddress direccionAleatoria()
{
    auto *g = QRandomGenerator::global();
    return QHostAddress(QStringLiteral("127.%1.%2.%3")
                            .arg(g->bounded(1, 255)).arg(g->bounded(256)).arg(g->bounded(1, 255)));
}

// Reads until `esperados` bytes came or the wait ran out; a wait for silence
// passes esperados = -1 and gets whatever arrived in the window.
template <typename Dispositivo>
QByteArray recibir(Dispositivo &d, int esperados, int esperaMs = 2000)
{
    QByteArray r;
    QDeadlineTimer limite(esperados < 0 ? 300 : esperaMs);
    while ((esperados < 0 || r.size() < esperados) && !limite.hasExpired()) {
        if (d.bytesAvailable() == 0)
            d.waitForReadyRead(int(qMax<qint64>(1, limite.remainingTime())));
        r += d.readAll();
    }
    return r;
}

struct ClienteTcp {
    QTcpSocket s;
    ClienteTcp(const QHostAddress &a, quint16 p)
    {
        s.connectToHost(a, p);
        if (!s.waitForConnected(2000))
            qFatal("no connection to the simulator");
    }
    QByteArray pedir(const QByteArray &peticion, int esperados)
    {
        s.write(peticion);
        s.waitForBytesWritten(2000);
        return recibir(s, esperados);
    }
};

QByteArray ordenMarcajes(quint8 codigo, quint8 sub)
{
    return peticion(codigo, Marcajes, QByteArray(1, char(sub)));
}

int punteroDe(const QByteArray &r, int byteBajo)
{
    return quint8(r[byteBajo]) + 256 * quint8(r[byteBajo + 1]);
}

}  // namespace

class TestKoraSim : public QObject {
    Q_OBJECT

    Simulador *sim = nullptr;
    QHostAddress dir;
    quint16 puerto = 0;

private slots:
    void init()
    {
        sim = new Simulador;
        dir = direccionAleatoria();
        puerto = sim->escucharTcp(5, dir, 0);
        QVERIFY(puerto != 0);
    }
    void cleanup() { delete sim; }

    void respuestaPorComando_data()
    {
        QTest::addColumn<int>("codigo");
        QTest::addColumn<QByteArray>("datos");
        QTest::addColumn<int>("carga");
        QTest::newRow("leer reloj") << 1 << QByteArray() << 7;
        QTest::newRow("fijar reloj") << 2 << QByteArray::fromHex("07050905041226") << 0;
        QTest::newRow("leer incidencia") << 3 << QByteArray(1, 4) << 16;
        QTest::newRow("escribir incidencia") << 4 << QByteArray(17, 'A') << 0;
        QTest::newRow("asegurar") << 4 << (QByteArray(1, char(255)) + QByteArray(16, 0)) << 0;
        QTest::newRow("punteros") << 7 << QByteArray(1, 3) << 14;
        QTest::newRow("siguiente") << 7 << QByteArray(1, 0) << 14;
    }
    void respuestaPorComando()
    {
        QFETCH(int, codigo);
        QFETCH(QByteArray, datos);
        QFETCH(int, carga);
        ClienteTcp c(dir, puerto);
        const QByteArray p = peticion(5, quint8(codigo), datos);
        QCOMPARE(p.size(), datos.size() + 3);
        // Answer size follows from the length field: Longitud - n - 1.
        QCOMPARE(carga + 1, (quint8(p[1]) & 0x1F) - datos.size() - 1);
        const QByteArray r = c.pedir(p, carga + 1);
        QCOMPARE(r.size(), carga + 1);
        QVERIFY(respuestaValida(p, r));
        // Several requests on one connection are served too.
        QCOMPARE(c.pedir(p, carga + 1).size(), carga + 1);
    }

    void relojFijoYChecksumContinuado()
    {
        sim->terminal(5)->fijarRespuestaReloj(RegistroReloj{7, 5, 9, 5, 4, 0x12, 0x26});
        ClienteTcp c(dir, puerto);
        const QByteArray p = peticion(5, LeerReloj);
        QCOMPARE(p, QByteArray::fromHex("05292E"));
        // The answer's checksum continues from 0x5C, the sum of the request.
        const int suma = (0x5C + 0x07 + 0x05 + 0x09 + 0x05 + 0x04 + 0x12 + 0x26) & 0xFF;
        QCOMPARE(c.pedir(p, 8), QByteArray::fromHex("07050905041226") + char(suma));
    }

    void fijarYLeerReloj()
    {
        ClienteTcp c(dir, puerto);
        const QDateTime nueva(QDate(2030, 1, 2), QTime(3, 4, 5));
        const RegistroReloj r = registroReloj(nueva);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(r.data()), 7), QByteArray::fromHex("05040303020130"));
        QCOMPARE(c.pedir(peticion(5, EscribirReloj, QByteArray(reinterpret_cast<const char *>(r.data()), 7)), 1).size(), 1);
        QCOMPARE(sim->terminal(5)->ultimoRelojRecibido(), std::optional<RegistroReloj>(r));
        const QByteArray leido = c.pedir(peticion(5, LeerReloj), 8);
        RegistroReloj l{};
        std::copy_n(leido.constData(), 7, l.begin());
        const QDateTime ahora = fechaDeRegistroReloj(l);
        QVERIFY(ahora >= nueva && ahora < nueva.addSecs(60));
        QCOMPARE(l[3], quint8(3));  // Wednesday
    }

    void incidencias()
    {
        ClienteTcp c(dir, puerto);
        const QByteArray texto = QByteArray("Medico") + QByteArray(9, 0) + char(0x80);
        c.pedir(peticion(5, EscribirIncidencia, QByteArray(1, 4) + texto), 1);
        QCOMPARE(sim->terminal(5)->incidencia(4), texto);
        QCOMPARE(c.pedir(peticion(5, LeerIncidencia, QByteArray(1, 4)), 17).left(16), texto);
        // Slots beyond the table are answered and ignored; 255 is the securing order.
        QCOMPARE(c.pedir(peticion(5, EscribirIncidencia, QByteArray(1, char(150)) + texto), 1).size(), 1);
        c.pedir(peticion(5, EscribirIncidencia, QByteArray(1, char(255)) + QByteArray(16, 0)), 1);
        QCOMPARE(sim->terminal(5)->incidenciasEscritas(), 1);
        QCOMPARE(sim->terminal(5)->ordenesAsegurar(), 1);
    }

    void movimientoDePunteros()
    {
        Terminal &t = *sim->terminal(5);
        const QDateTime base(QDate(2026, 3, 1), QTime(8, 0));
        for (int i = 0; i < 3; ++i)
            t.agregarMarcaje(base.addSecs(i), 100 + i);
        ClienteTcp c(dir, puerto);
        auto punteros = [&] {
            const QByteArray r = c.pedir(ordenMarcajes(5, Punteros), 15);
            return std::pair{punteroDe(r, 3), punteroDe(r, 5)};
        };
        QCOMPARE(punteros(), std::pair(3, 0));
        QCOMPARE(c.pedir(ordenMarcajes(5, LeerSiguiente), 15).left(14), aBytes(t.registro(0)));
        QCOMPARE(punteros(), std::pair(3, 1));
        QCOMPARE(c.pedir(ordenMarcajes(5, RepetirAnterior), 15).left(14), aBytes(t.registro(0)));
        QCOMPARE(punteros(), std::pair(3, 1));
        QCOMPARE(c.pedir(ordenMarcajes(5, Retroceder), 15).size(), 15);
        QCOMPARE(punteros(), std::pair(3, 0));
        for (int i = 0; i < 3; ++i)
            c.pedir(ordenMarcajes(5, LeerSiguiente), 15);
        // At the write pointer: the end marker, and the read pointer waits there.
        QCOMPARE(quint8(c.pedir(ordenMarcajes(5, LeerSiguiente), 15)[0]), kMarcaFin);
        QCOMPARE(punteros(), std::pair(3, 3));
    }

    void anilloDaLaVuelta_data()
    {
        QTest::addColumn<bool>("ceros");
        QTest::newRow("marca de fin") << false;
        QTest::newRow("ceros") << true;
    }
    void anilloDaLaVuelta()
    {
        QFETCH(bool, ceros);
        Terminal &t = *sim->terminal(5);
        t.configurarAnillo(ceros ? Relleno::Ceros : Relleno::MarcaFin);
        QCOMPARE(aBytes(t.registro(kPosiciones - 1)), aBytes(ceros ? registroCeros() : registroFin()));
        QCOMPARE(t.registro(0)[0], kMarcaFin);  // under the write pointer either way
        t.fijarPunteros(kPosiciones - 1, kPosiciones - 1);
        const QDateTime m(QDate(2026, 3, 1), QTime(8, 0));
        QCOMPARE(t.agregarMarcajeDoble(m, 0x01020304, 0x0A0B0C0D), kPosiciones - 1);
        QCOMPARE(t.punteroEscritura(), 1);
        QCOMPARE(t.registro(0)[0], quint8(0x0A));  // continuation wrapped to slot 0
        QCOMPARE(t.registro(1)[0], kMarcaFin);

        ClienteTcp c(dir, puerto);
        QCOMPARE(c.pedir(ordenMarcajes(5, LeerSiguiente), 15).left(14), aBytes(t.registro(kPosiciones - 1)));
        QCOMPARE(t.punteroLectura(), 0);
        c.pedir(ordenMarcajes(5, Retroceder), 15);
        QCOMPARE(t.punteroLectura(), kPosiciones - 1);
        const QByteArray r = c.pedir(ordenMarcajes(5, Punteros), 15);
        QCOMPARE(punteroDe(r, 3), 1);
        QCOMPARE(punteroDe(r, 5), 4499);
    }

    void sinMarcaDeFin()
    {
        Terminal &t = *sim->terminal(5);
        t.configurarAnillo(Relleno::Ceros, false);
        t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), 7);
        QCOMPARE(aBytes(t.registro(1)), aBytes(registroCeros()));
        // A record left behind under the write pointer stays as it was.
        t.escribirRegistro(2, registroMarcaje(QDateTime(QDate(2025, 1, 1), QTime(0, 0)), 9));
        t.fijarPunteros(2, 0);
        QCOMPARE(t.registro(2)[11], quint8(9));
    }

    void registrosDeMarcaje()
    {
        const QDateTime m(QDate(2024, 12, 31), QTime(23, 58, 59));
        const auto rs = registrosMarcajeDoble(m, 0xFFFFFFFE, 0x00012345, bandera::Salida, 12);
        QCOMPARE(aBytes(rs[0]).left(13), QByteArray::fromHex("3b3a171f0c1803" "0c" "fffffffe00"));
        QVERIFY(checksumRegistroCorrecto(rs[0]));
        QCOMPARE(aBytes(rs[1]).left(4), QByteArray::fromHex("00012345"));
        QVERIFY(!checksumRegistroCorrecto(conChecksumErroneo(rs[0])));
        const Registro ignorar = registroMarcaje(m, 0, bandera::Ignorar);
        QCOMPARE(ignorar[6], quint8(4));
        QCOMPARE(aBytes(ignorar).mid(8, 4), QByteArray(4, 0));
    }

    void peticionesSinRespuesta_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray mala = peticion(5, LeerReloj);
        mala[2] = char(mala[2] + 1);
        QTest::newRow("checksum") << mala;
        QTest::newRow("otro terminal") << peticion(6, LeerReloj);
        QTest::newRow("comando desconocido") << QByteArray::fromHex("05A0A5");
        QTest::newRow("subfuncion desconocida") << ordenMarcajes(5, 9);
    }
    void peticionesSinRespuesta()
    {
        QFETCH(QByteArray, bytes);
        ClienteTcp c(dir, puerto);
        QCOMPARE(c.pedir(bytes, -1), QByteArray());
        // The stream resynchronises on the next good request.
        QCOMPARE(c.pedir(peticion(5, LeerReloj), 8).size(), 8);
    }

    void fallosTcp()
    {
        Terminal &t = *sim->terminal(5);
        t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), 1);
        t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 1)), 2);
        ClienteTcp c(dir, puerto);
        const QByteArray leer = peticion(5, LeerReloj);

        t.modificarFallos([](Fallos &f) { f.corromperCada = 1; });
        QVERIFY(!respuestaValida(leer, c.pedir(leer, 8)));
        t.fijarFallos({});
        QVERIFY(respuestaValida(leer, c.pedir(leer, 8)));

        t.modificarFallos([](Fallos &f) { f.descartarCada = 2; });
        QCOMPARE(c.pedir(leer, 8).size(), 8);
        QCOMPARE(c.pedir(leer, -1).size(), 0);
        QCOMPARE(c.pedir(leer, 8).size(), 8);

        // The lost read-next advanced the pointer: the record comes back with sub-function 1.
        t.fijarFallos({});
        t.modificarFallos([](Fallos &f) { f.perderLecturaCada = 1; });
        QCOMPARE(c.pedir(ordenMarcajes(5, LeerSiguiente), -1).size(), 0);
        QCOMPARE(t.punteroLectura(), 1);
        QCOMPARE(c.pedir(ordenMarcajes(5, RepetirAnterior), 15).left(14), aBytes(t.registro(0)));

        t.fijarFallos({});
        t.modificarFallos([](Fallos &f) { f.ignorarRetroceso = true; f.byteExtraCada = 1; });
        QCOMPARE(c.pedir(ordenMarcajes(5, Retroceder), 16).size(), 16);
        QCOMPARE(t.punteroLectura(), 1);

        t.fijarFallos({});
        t.modificarFallos([](Fallos &f) { f.silencioso = true; });
        QCOMPARE(c.pedir(leer, -1).size(), 0);
        t.fijarFallos({});
        t.modificarFallos([](Fallos &f) { f.retrasoMs = 50; });
        QCOMPARE(c.pedir(leer, 8).size(), 8);
    }

    void textoDeFallos_data()
    {
        QTest::addColumn<QString>("texto");
        QTest::addColumn<bool>("valido");
        QTest::newRow("silent") << "silent" << true;
        QTest::newRow("drop") << "drop=5" << true;
        QTest::newRow("corrupt") << "corrupt" << true;
        QTest::newRow("delay") << "delay=200" << true;
        QTest::newRow("delay sin valor") << "delay" << false;
        QTest::newRow("negativo") << "drop=-1" << false;
        QTest::newRow("desconocido") << "explode" << false;
    }
    void textoDeFallos()
    {
        QFETCH(QString, texto);
        QFETCH(bool, valido);
        Fallos f;
        QCOMPARE(aplicarFallo(f, texto), valido);
        if (texto == u"drop=5")
            QCOMPARE(f.descartarCada, 5);
        if (texto == u"corrupt")
            QCOMPARE(f.corromperCada, 1);
    }

    void busSerie_data()
    {
        QTest::addColumn<bool>("rs485");
        QTest::addColumn<bool>("ritmo");
        QTest::newRow("rs232") << false << false;
        QTest::newRow("rs485") << true << false;
        QTest::newRow("rs485 a 57600") << true << true;
    }
    void busSerie()
    {
        QFETCH(bool, rs485);
        QFETCH(bool, ritmo);
        sim->agregarTerminal(3).agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), 33);
        sim->agregarTerminal(4).agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(9, 0)), 44);
        sim->fijarRitmoSerie(ritmo);
        QString error;
        const QString ruta = sim->abrirPty(rs485 ? Modo::RS485 : Modo::RS232, {3, 4}, &error);
        QVERIFY2(!ruta.isEmpty(), qPrintable(error));

        QSerialPort puerto(ruta);
        puerto.setBaudRate(57600);
        QVERIFY2(puerto.open(QIODevice::ReadWrite), qPrintable(puerto.errorString()));
        auto pedir = [&](const QByteArray &p, int esperados) {
            puerto.clear(QSerialPort::Input);
            puerto.write(p);
            puerto.waitForBytesWritten(2000);
            return recibir(puerto, esperados);
        };
        const int eco = rs485 ? 4 : 0;
        for (quint8 codigo : {3, 4}) {
            const QByteArray p = ordenMarcajes(codigo, LeerSiguiente);
            const QByteArray r = pedir(p, eco + 15);
            QCOMPARE(r.size(), eco + 15);
            QCOMPARE(r.left(eco), p.left(eco));
            QVERIFY(respuestaValida(p, r.mid(eco)));
            QCOMPARE(quint32(quint8(r[eco + 11])), codigo * 11u);
        }
        // Terminal 5 listens on TCP only: on this bus nobody answers it.
        const QByteArray nadie = ordenMarcajes(5, Punteros);
        QCOMPARE(pedir(nadie, -1), nadie.left(eco));

        if (!rs485)
            return;
        sim->terminal(3)->modificarFallos([](Fallos &f) { f.silencioso = true; });
        const QByteArray p3 = peticion(3, LeerReloj);
        QCOMPARE(pedir(p3, -1), p3);  // silent terminal: the echo alone
        sim->terminal(3)->fijarFallos({});
        sim->terminal(3)->modificarFallos([](Fallos &f) { f.sinEco = true; });
        const QByteArray r = pedir(p3, 8);
        QCOMPARE(r.size(), 8);  // the answer alone
        QVERIFY(respuestaValida(p3, r));
    }

    void registroDeLinea()
    {
        sim->limpiarRegistro();
        ClienteTcp c(dir, puerto);
        const QByteArray p = ordenMarcajes(5, Punteros);
        const QByteArray r = c.pedir(p, 15);
        c.pedir(peticion(9, LeerReloj), -1);
        const QList<EntradaLog> log = sim->registro();
        QCOMPARE(log.size(), 3);
        QCOMPARE(log[0].sentido, EntradaLog::Sentido::Peticion);
        QCOMPARE(log[0].bytes, p);
        QCOMPARE(log[0].terminal, 5);
        QCOMPARE(log[1].sentido, EntradaLog::Sentido::Respuesta);
        QCOMPARE(log[1].bytes, r);
        QCOMPARE(log[2].terminal, 9);
        QVERIFY(!log[2].nota.isEmpty());
        QVERIFY(log[0].texto().contains(QStringLiteral("T5 <- 05 F1 03 F9")));
    }

    // The soak tests add punches while a download runs.
    void marcajesMientrasSeLee()
    {
        Terminal &t = *sim->terminal(5);
        constexpr int total = 2000;
        std::thread productor([&t] {
            const QDateTime base(QDate(2026, 3, 1), QTime(8, 0));
            for (int i = 0; i < total; ++i)
                t.agregarMarcaje(base.addSecs(i), quint32(i + 1));
        });
        ClienteTcp c(dir, puerto);
        quint32 esperada = 1;
        for (int vuelta = 0; esperada <= total && vuelta < 100000; ++vuelta) {
            const QByteArray r = c.pedir(ordenMarcajes(5, LeerSiguiente), 15);
            QCOMPARE(r.size(), 15);
            if (quint8(r[0]) == kMarcaFin)
                continue;
            Registro reg{};
            std::copy_n(r.constData(), 14, reg.begin());
            QVERIFY(checksumRegistroCorrecto(reg));
            QCOMPARE(quint32(quint8(r[10])) << 8 | quint8(r[11]), esperada & 0xFFFF);
            ++esperada;
        }
        productor.join();
        QCOMPARE(esperada, quint32(total + 1));
    }

    void programa()
    {
        QProcess p;
        const QHostAddress a = direccionAleatoria();
        p.start(QStringLiteral(KORA_SIM),
                {QStringLiteral("--tcp"), QStringLiteral("7@%1:%2").arg(a.toString()).arg(kPuertoTcp),
                 QStringLiteral("--pty"), QStringLiteral("rs485"), QStringLiteral("--terminal"), QStringLiteral("8"),
                 QStringLiteral("--punches"), QStringLiteral("2"), QStringLiteral("--two-slot"),
                 QStringLiteral("--clock"), QStringLiteral("07 05 09 05 04 12 26")});
        QVERIFY(p.waitForStarted());
        QString salida;
        while (!salida.contains(QStringLiteral("READY")) && p.waitForReadyRead(5000))
            salida += QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(salida.contains(QStringLiteral("TCP 7 %1:10001").arg(a.toString())), qPrintable(salida));
        QVERIFY(QRegularExpression(QStringLiteral("^PTY /dev/\\S+$"), QRegularExpression::MultilineOption)
                    .match(salida).hasMatch());

        ClienteTcp c(a, kPuertoTcp);
        QCOMPARE(punteroDe(c.pedir(ordenMarcajes(7, Punteros), 15), 3), 4);
        QCOMPARE(c.pedir(peticion(7, LeerReloj), 8).left(7), QByteArray::fromHex("07050905041226"));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestKoraSim)
#include "test_korasim.moc"
