// The simulator must answer exactly as terminals do: the code under test is
// only as trustworthy as this. Everything goes through real transports.

#include "sim/simulador.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTest>
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

// Reads until `esperados` bytes came or the wait ran out; esperados = -1
// listens to silence for a while and returns whatever came.
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

QByteArray ordenMarcajes(quint8 codigo, quint8 sub) { return peticion(codigo, Marcajes, QByteArray(1, char(sub))); }

int punteroDe(const QByteArray &r, int byteBajo) { return quint8(r[byteBajo]) + 256 * quint8(r[byteBajo + 1]); }

} // namespace

class TestKoraSim : public QObject {
    Q_OBJECT

    Simulador *sim = nullptr;
    QTcpSocket *c = nullptr; // connected to terminal 5

    std::pair<int, int> punteros() // (write, read)
    {
        const QByteArray r = pedir(*c, ordenMarcajes(5, Punteros), 15);
        return {punteroDe(r, 3), punteroDe(r, 5)};
    }

private slots:
    void init()
    {
        sim = new Simulador;
        const QHostAddress dir = direccionAleatoria();
        const quint16 puerto = sim->escucharTcp(5, dir, 0);
        QVERIFY(puerto != 0);
        c = new QTcpSocket;
        c->connectToHost(dir, puerto);
        QVERIFY(c->waitForConnected(2000));
    }
    void cleanup()
    {
        delete c;
        delete sim;
    }

    void fijarYLeerReloj()
    {
        const QDateTime nueva(QDate(2030, 1, 2), QTime(3, 4, 5));
        const RegistroReloj r = registroReloj(nueva);
        const QByteArray bytes(reinterpret_cast<const char *>(r.data()), 7);
        QCOMPARE(bytes, QByteArray::fromHex("05040303020130")); // BCD, Wednesday = 3
        QCOMPARE(pedir(*c, peticion(5, EscribirReloj, bytes), 1).size(), 1);
        QCOMPARE(sim->terminal(5)->ultimoRelojRecibido(), std::optional<RegistroReloj>(r));
        const QByteArray leido = pedir(*c, peticion(5, LeerReloj), 8);
        RegistroReloj l{};
        std::copy_n(leido.constData(), 7, l.begin());
        const QDateTime ahora = fechaDeRegistroReloj(l);
        QVERIFY(ahora >= nueva && ahora < nueva.addSecs(60));
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
        t.fijarPunteros(kPosiciones - 1, kPosiciones - 1);
        // A two-slot punch (exit, continues) in the last slot goes on in slot 0.
        const QDateTime m(QDate(2024, 12, 31), QTime(23, 58, 59));
        QCOMPARE(t.agregarMarcajeDoble(m, 0xFFFFFFFE, 0x00012345, bandera::Salida, 12), kPosiciones - 1);
        const QByteArray ultimo = aBytes(t.registro(kPosiciones - 1));
        QCOMPARE(ultimo.left(13), QByteArray::fromHex("3b3a171f0c1803" "0c" "fffffffe00"));
        QVERIFY(checksumRegistroCorrecto(t.registro(kPosiciones - 1)));
        QCOMPARE(aBytes(t.registro(0)).left(4), QByteArray::fromHex("00012345"));
        QCOMPARE(punteros(), std::pair(1, kPosiciones - 1));

        QCOMPARE(pedir(*c, ordenMarcajes(5, LeerSiguiente), 15).left(14), ultimo);
        QCOMPARE(punteros(), std::pair(1, 0));
        QCOMPARE(pedir(*c, ordenMarcajes(5, RepetirAnterior), 15).left(14), ultimo);
        QCOMPARE(punteros(), std::pair(1, 0));
        pedir(*c, ordenMarcajes(5, Retroceder), 15);
        QCOMPARE(punteros(), std::pair(1, kPosiciones - 1));
        pedir(*c, ordenMarcajes(5, LeerSiguiente), 15);
        QCOMPARE(pedir(*c, ordenMarcajes(5, LeerSiguiente), 15).left(14), aBytes(t.registro(0)));
        // At the write pointer: the end marker, and the read pointer waits there.
        for (int vez = 0; vez < 2; ++vez)
            QCOMPARE(quint8(pedir(*c, ordenMarcajes(5, LeerSiguiente), 15)[0]), kMarcaFin);
        QCOMPARE(punteros(), std::pair(1, 1));
    }

    // Each fault as the program's --fault option gives it, and the frames no
    // terminal answers: two requests in a row, then a good one without faults.
    void fallos_data()
    {
        QTest::addColumn<QString>("fallo");
        QTest::addColumn<QByteArray>("orden");
        QTest::addColumn<QList<int>>("tamanos");
        QTest::addColumn<bool>("valida"); // checksum of the first answer
        QTest::addColumn<int>("lectura"); // read pointer afterwards
        const QByteArray reloj = peticion(5, LeerReloj);
        QTest::newRow("corrupt") << "corrupt" << reloj << QList{8, 8} << false << 0;
        QTest::newRow("drop=2") << "drop=2" << reloj << QList{8, 0} << true << 0;
        QTest::newRow("extra") << "extra" << reloj << QList{9, 9} << false << 0;
        QTest::newRow("silent") << "silent" << reloj << QList{0, 0} << false << 0;
        QTest::newRow("delay=50") << "delay=50" << reloj << QList{8, 8} << true << 0;
        // The lost read-next answers still advance the read pointer.
        QTest::newRow("loseread=1") << "loseread=1" << ordenMarcajes(5, LeerSiguiente) << QList{0, 0} << false << 2;
        QTest::newRow("nostepback") << "nostepback" << ordenMarcajes(5, Retroceder) << QList{15, 15} << true << 0;
        QByteArray mala = reloj;
        mala[2] = char(mala[2] + 1);
        QTest::newRow("checksum malo") << "none" << mala << QList{0, 0} << false << 0;
        QTest::newRow("otro terminal") << "none" << peticion(6, LeerReloj) << QList{0, 0} << false << 0;
        QTest::newRow("comando desconocido") << "none" << QByteArray::fromHex("05A0A5") << QList{0, 0} << false << 0;
        QTest::newRow("subfuncion desconocida") << "none" << ordenMarcajes(5, 9) << QList{0, 0} << false << 0;
        QTest::newRow("delay sin valor") << "delay" << QByteArray() << QList<int>() << false << 0;
        QTest::newRow("negativo") << "drop=-1" << QByteArray() << QList<int>() << false << 0;
        QTest::newRow("desconocido") << "explode" << QByteArray() << QList<int>() << false << 0;
    }
    void fallos()
    {
        QFETCH(QString, fallo);
        QFETCH(QByteArray, orden);
        QFETCH(QList<int>, tamanos);
        QFETCH(bool, valida);
        QFETCH(int, lectura);
        Terminal &t = *sim->terminal(5);
        t.fijarRespuestaReloj(RegistroReloj{7, 5, 9, 5, 4, 0x12, 0x26});
        for (int i = 0; i < 3; ++i)
            t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, i)), 1 + i);
        Fallos f;
        QCOMPARE(aplicarFallo(f, fallo), !orden.isEmpty());
        if (orden.isEmpty())
            return;
        t.fijarFallos(f);
        const QByteArray primera = pedir(*c, orden, tamanos[0] ? tamanos[0] : -1);
        const QByteArray segunda = pedir(*c, orden, tamanos[1] ? tamanos[1] : -1);
        QCOMPARE((QList<int>{int(primera.size()), int(segunda.size())}), tamanos);
        QCOMPARE(respuestaValida(orden, primera), valida);
        QCOMPARE(t.punteroLectura(), lectura);
        // The stream is back in step. 05 29 2E sums to 0x5C and the answer's
        // checksum goes on from there: 0x5C + 0x56 = 0xB2.
        t.fijarFallos({});
        QCOMPARE(pedir(*c, QByteArray::fromHex("05292E"), 8), QByteArray::fromHex("07050905041226B2"));
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

        const int eco = rs485 ? 4 : 0;
        for (quint8 codigo : {3, 4}) {
            const QByteArray p = ordenMarcajes(codigo, LeerSiguiente);
            const QByteArray r = pedir(puerto, p, eco + 15);
            QCOMPARE(r.left(eco), p.left(eco));
            QCOMPARE(r.size(), eco + 15);
            QVERIFY(respuestaValida(p, r.mid(eco)));
            QCOMPARE(quint8(r[eco + 11]), quint8(codigo * 11)); // that terminal's own punch
        }
        // Terminal 5 listens on TCP only: on this bus nobody answers it.
        const QByteArray nadie = ordenMarcajes(5, Punteros);
        QCOMPARE(pedir(puerto, nadie, -1), nadie.left(eco));
    }

    // The soak tests add punches while a download runs.
    void marcajesMientrasSeLee()
    {
        Terminal &t = *sim->terminal(5);
        constexpr quint32 total = 2000;
        std::thread productor([&t] {
            for (quint32 i = 1; i <= total; ++i)
                t.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, 0)).addSecs(i), i);
        });
        quint32 leidos = 0;
        for (int vuelta = 0; leidos < total && vuelta < 100000; ++vuelta) {
            const QByteArray r = pedir(*c, ordenMarcajes(5, LeerSiguiente), 15);
            QCOMPARE(r.size(), 15);
            if (quint8(r[0]) == kMarcaFin)
                continue;
            QCOMPARE(sumaBytes(r.left(13)), quint8(r[13]));
            QCOMPARE(quint32(quint8(r[10])) << 8 | quint8(r[11]), ++leidos); // every card once, in order
        }
        productor.join();
        QCOMPARE(leidos, total);
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
        QCOMPARE(punteroDe(pedir(s, ordenMarcajes(7, Punteros), 15), 3), 4); // two punches, two slots each
        QCOMPARE(pedir(s, peticion(7, LeerReloj), 8).left(7), QByteArray::fromHex("07050905041226"));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestKoraSim)
#include "test_korasim.moc"
