// What the commands and link tests cannot show about the simulator: the
// program itself, the ring's own behaviours and the fault options. A shared
// RS-485 bus is the end-to-end tests' (two terminals read on one bus).

#include "tools/sim/simulador.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

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
QByteArray pedir(QTcpSocket &d, const QByteArray &peticion, int esperados)
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
        const QHostAddress dir = direccionAleatoria();
        c.connectToHost(dir, sim.escucharTcp(5, dir, 0));
        QVERIFY(c.waitForConnected(2000));
        sim.terminal(5)->fijarFallos(f);
        const QByteArray orden = peticion(5, LeerReloj);
        const QByteArray primera = pedir(c, orden, 8);
        QVERIFY(primera.size() == 8 && !respuestaValida(orden, primera));
        QCOMPARE(pedir(c, orden, -1), QByteArray());
        sim.terminal(5)->fijarFallos({});
        QVERIFY(respuestaValida(orden, pedir(c, orden, 8)));
    }

    // A full ring between two downloads: 4600 punches written from read == write.
    void anilloLleno()
    {
        struct Caso { Desborde desborde; int lectura, primera, rechazados; }; // primera: card of the oldest punch kept
        for (const auto &[desborde, lectura, primera, rechazados] :
             {Caso{Desborde::Sobrescribe, 100, 102, 0}, Caso{Desborde::Empuja, 201, 102, 0}, Caso{Desborde::Rechaza, 100, 1, 101}}) {
            Terminal t(5);
            t.fijarDesborde(desborde);
            t.fijarPunteros(100, 100);
            int devueltos = 0;
            for (quint32 tarjeta = 1; tarjeta <= 4600; ++tarjeta)
                devueltos += t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)), tarjeta) < 0;
            QCOMPARE(QList<int>({devueltos, t.rechazados(), t.punteroLectura()}), QList<int>({rechazados, rechazados, lectura}));
            // 4499 punches in order from just past the write pointer, the end marker under it.
            const int w = t.punteroEscritura();
            QCOMPARE(t.registro(w), registroFin());
            for (int i = 1; i < kPosiciones; ++i)
                QCOMPARE(qFromBigEndian<quint32>(t.registro(w + i).data() + registro::Tarjeta), quint32(primera + i - 1));
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
        const QByteArray r = pedir(s, peticion(7, Marcajes, QByteArray(1, char(Punteros))), 15);
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
