// What the commands and link tests cannot show about the simulator: the
// program itself, a shared RS-485 bus, byte pacing, punches arriving during a
// download, frames left unanswered and the fault options.

#include "tools/sim/simulador.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>
#include <thread>

using namespace korasim;

namespace {

// Its own loopback address per run: the program test needs port 10001.
QHostAddress direccionAleatoria()
{
    auto *g = QRandomGenerator::global();
    return QHostAddress(
        QStringLiteral("127.%1.%2.%3").arg(g->bounded(1, 255)).arg(g->bounded(256)).arg(g->bounded(1, 255)));
}

// Reads until `esperados` bytes came; esperados = -1 listens to silence for a
// while and returns whatever came.
template <typename Dispositivo>
QByteArray pedir(Dispositivo &d, const QByteArray &peticion, int esperados)
{
    d.write(peticion);
    d.waitForBytesWritten(2000);
    QByteArray r;
    QDeadlineTimer limite(esperados < 0 ? 300 : 2000);
    while ((esperados < 0 || r.size() < esperados) && !limite.hasExpired()) {
        if (d.bytesAvailable() == 0)
            d.waitForReadyRead(int(qMax<qint64>(1, limite.remainingTime())));
        r += d.readAll();
    }
    return r;
}

// Terminal 5 on TCP, `c` connected to it.
bool conectar(Simulador &sim, QTcpSocket &c)
{
    const QHostAddress dir = direccionAleatoria();
    c.connectToHost(dir, sim.escucharTcp(5, dir, 0));
    return c.waitForConnected(2000);
}

QByteArray ordenMarcajes(quint8 codigo, quint8 sub) { return peticion(codigo, Marcajes, QByteArray(1, char(sub))); }

} // namespace

class TestKoraSim : public QObject {
    Q_OBJECT
private slots:
    // Fault texts, and the faults only this test reaches: wrong checksums and lost answers.
    void fallos()
    {
        Fallos f;
        for (QStringView malo : {u"delay", u"drop=-1", u"extra=x", u"explode"})
            QVERIFY2(!aplicarFallo(f, malo) && f == Fallos{}, qPrintable(malo.toString()));
        for (QStringView texto : {u"silent", u"none", u" corrupt ", u"drop= 2"})
            QVERIFY(aplicarFallo(f, texto));
        Simulador sim;
        QTcpSocket c;
        QVERIFY(conectar(sim, c));
        sim.terminal(5)->fijarFallos(f);
        const QByteArray orden = peticion(5, LeerReloj);
        const QByteArray primera = pedir(c, orden, 8);
        QVERIFY(primera.size() == 8 && !respuestaValida(orden, primera));
        QCOMPARE(pedir(c, orden, -1), QByteArray());
        sim.terminal(5)->fijarFallos({});
        QVERIFY(respuestaValida(orden, pedir(c, orden, 8)));
    }

    // Two terminals on one RS-485 bus: only the addressed one answers, with
    // the converter's echo ahead of it, at the line's pace or at once.
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
        Simulador sim;
        sim.agregarTerminal(3).agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), 33);
        sim.agregarTerminal(4).agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(9, 0)), 44);
        sim.agregarTerminal(5).fijarRespuestaReloj(RegistroReloj{7, 5, 9, 5, 4, 0x12, 0x26});
        sim.agregarTerminal(6); // exists, but not on this bus
        sim.fijarRitmoSerie(ritmo);
        QString error;
        const QString ruta = sim.abrirPty(rs485 ? Modo::RS485 : Modo::RS232, {3, 4, 5}, &error);
        QVERIFY2(!ruta.isEmpty(), qPrintable(error));
        QSerialPort puerto(ruta);
        puerto.setBaudRate(57600);
        QVERIFY2(puerto.open(QIODevice::ReadWrite), qPrintable(puerto.errorString()));

        const int eco = rs485 ? 4 : 0;
        for (quint8 codigo : {3, 4}) {
            const QByteArray p = ordenMarcajes(codigo, LeerSiguiente);
            const QByteArray r = pedir(puerto, p, eco + 15);
            QCOMPARE(r.size(), eco + 15);
            QCOMPARE(r.left(eco), p.left(eco));
            QVERIFY(respuestaValida(p, r.mid(eco)));
            QCOMPARE(quint8(r[eco + 11]), quint8(codigo * 11)); // that terminal's own punch
        }
        // Frames nobody answers: bad checksum, a terminal not on this bus,
        // unknown command or subfunction. The echo still comes back.
        QByteArray mala = peticion(5, LeerReloj);
        mala[2] = char(mala[2] + 1);
        for (const QByteArray &nadie : {mala, peticion(6, LeerReloj), QByteArray::fromHex("05A0A5"),
                                        ordenMarcajes(5, 9)})
            QCOMPARE(pedir(puerto, nadie, -1).toHex(), nadie.left(eco).toHex());
        // The line is back in step. 05 29 2E sums to 0x5C and the answer's
        // checksum goes on from there: 0x5C + 0x56 = 0xB2.
        QCOMPARE(pedir(puerto, QByteArray::fromHex("05292E"), eco + 8).right(8), QByteArray::fromHex("07050905041226B2"));
    }

    // The soak tests add punches while a download runs.
    void marcajesMientrasSeLee()
    {
        Simulador sim;
        QTcpSocket c;
        QVERIFY(conectar(sim, c));
        Terminal &t = *sim.terminal(5);
        t.fijarAlFinal(AlFinal::Retiene); // read-next at the end marker waits for the next punch
        QCOMPARE(quint8(pedir(c, ordenMarcajes(5, LeerSiguiente), 15)[0]), registro::kMarcaFin);
        QCOMPARE(t.punteroLectura(), 0);
        constexpr quint32 total = 2000;
        std::jthread productor([&t] { // joined also when a check fails and returns early
            for (quint32 i = 1; i <= total; ++i)
                t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)).addSecs(i), i);
        });
        quint32 leidos = 0;
        for (int vuelta = 0; leidos < total && vuelta < 100000; ++vuelta) {
            const QByteArray r = pedir(c, ordenMarcajes(5, LeerSiguiente), 15);
            QCOMPARE(r.size(), 15);
            if (quint8(r[0]) == registro::kMarcaFin)
                continue;
            QCOMPARE(suma(r.left(13)), quint8(r[13]));
            QCOMPARE(quint32(quint8(r[10])) << 8 | quint8(r[11]), ++leidos); // every card once, in order
        }
        QCOMPARE(leidos, total);
    }

    // A full ring between two downloads: 4600 punches written from read == write.
    void anilloLleno_data()
    {
        QTest::addColumn<Desborde>("desborde");
        QTest::addColumn<int>("lectura");
        QTest::addColumn<int>("primera"); // card of the oldest punch kept
        QTest::addColumn<int>("rechazados");
        QTest::newRow("sobrescribe") << Desborde::Sobrescribe << 100 << 102 << 0;
        QTest::newRow("empuja") << Desborde::Empuja << 201 << 102 << 0;
        QTest::newRow("rechaza") << Desborde::Rechaza << 100 << 1 << 101;
    }
    void anilloLleno()
    {
        QFETCH(Desborde, desborde);
        QFETCH(int, lectura);
        QFETCH(int, primera);
        QFETCH(int, rechazados);
        Terminal t(5);
        t.fijarDesborde(desborde);
        t.fijarPunteros(100, 100);
        int devueltos = 0;
        for (quint32 tarjeta = 1; tarjeta <= 4600; ++tarjeta)
            devueltos += t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), tarjeta) < 0;
        QCOMPARE(devueltos, rechazados);
        QCOMPARE(t.rechazados(), rechazados);
        QCOMPARE(t.punteroLectura(), lectura);
        // 4499 punches in order from just past the write pointer, the end marker under it.
        const int w = t.punteroEscritura();
        QCOMPARE(t.registro(w), registroFin());
        for (int i = 1; i < kPosiciones; ++i) {
            const Registro r = t.registro(w + i);
            QCOMPARE(qFromBigEndian<quint32>(r.data() + registro::Tarjeta), quint32(primera + i - 1));
        }
    }

    // What a technician and another program do to the ring, and a two-slot punch refused whole.
    void fueraDeLaDescarga()
    {
        Terminal t(5);
        t.configurarAnillo(Relleno::Ceros);
        for (quint32 tarjeta = 1; tarjeta <= 3; ++tarjeta)
            t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), tarjeta);
        t.fijarAlFinal(AlFinal::Retiene);
        t.leerComoOtroPrograma(5);
        QCOMPARE(t.punteroLectura(), 3);
        t.fijarAlFinal(AlFinal::Avanza);
        t.leerComoOtroPrograma(1);
        QCOMPARE(t.punteroLectura(), 4);

        t.reiniciarMemoria();
        QCOMPARE(t.punteroEscritura() + t.punteroLectura(), 0);
        QCOMPARE(t.registro(0), registroFin());
        QCOMPARE(t.registro(1), registroCeros());

        t.fijarDesborde(Desborde::Rechaza);
        t.fijarPunteros(0, 2); // room for one slot
        QCOMPARE(t.agregarMarcajeDoble(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), 7, 8), -1);
        QCOMPARE(t.punteroEscritura(), 0);
        QCOMPARE(t.rechazados(), 2);
    }

    void programa()
    {
        QProcess p;
        const QHostAddress a = direccionAleatoria();
        p.start(QStringLiteral(KORA_SIM),
                {"--tcp", QStringLiteral("7@%1:%2").arg(a.toString()).arg(kPuertoTcp), "--pty", "rs485",
                 "--terminal", "8", "--punches", "2", "--two-slot", "--clock", "07 05 09 05 04 12 26"});
        QVERIFY(p.waitForStarted());
        QString salida;
        while (!salida.contains(QStringLiteral("READY")) && p.waitForReadyRead(5000))
            salida += QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(salida.contains(QStringLiteral("TCP 7 %1:10001").arg(a.toString())), qPrintable(salida));
        QVERIFY(QRegularExpression("^PTY /dev/\\S+$", QRegularExpression::MultilineOption).match(salida).hasMatch());

        QTcpSocket s;
        s.connectToHost(a, kPuertoTcp);
        QVERIFY(s.waitForConnected(2000));
        const QByteArray r = pedir(s, ordenMarcajes(7, Punteros), 15);
        QCOMPARE(quint8(r[3]) + 256 * quint8(r[4]), 4); // two punches, two slots each
        QCOMPARE(pedir(s, peticion(7, LeerReloj), 8).left(7), QByteArray::fromHex("07050905041226"));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestKoraSim)
#include "test_korasim.moc"
