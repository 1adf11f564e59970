// The link object through the real QSerialPort and QTcpSocket against the
// terminal simulator: RS-232 and RS-485 (with the converter's echo) on a
// pseudo-terminal, and TCP on loopback.

#include "class_rs485.h"
#include "puerto_serie_qt.h"
#include "sim/simulador.h"
#include "socket_tcp_qt.h"

#include <QtTest>
#include <thread>

namespace {

const korasim::RegistroReloj kReloj{0x12, 0x34, 0x56, 0x03, 0x15, 0x06, 0x24};

ClassRS485 leerHora()
{
    ClassRS485 e;
    e.Direccion = 7;
    e.codigo = 1;
    e.Longitud = 9;
    return e;
}

int peticiones(const korasim::Simulador &sim)
{
    int n = 0;
    for (const auto &l : sim.registro())
        n += l.sentido == korasim::EntradaLog::Sentido::Peticion;
    return n;
}

} // namespace

class TestEnlaceSimulador : public QObject {
    Q_OBJECT
private slots:
    void dispositivo_data();
    void dispositivo();
    void abrirDispositivoInexistente();
    void cancelacionCortaLaEspera();
    void serie_data();
    void serie();
    void puertoCerrado();
    void tcp_data();
    void tcp();
};

void TestEnlaceSimulador::dispositivo_data()
{
    QTest::addColumn<int>("numero");
    QTest::addColumn<QString>("esperado");
    QTest::newRow("mapeado") << 3 << "/dev/pts/9";
    QTest::newRow("por defecto 1") << 1 << "/dev/ttyS0";
    QTest::newRow("por defecto 16") << 16 << "/dev/ttyS15";
    QTest::newRow("mapeo en blanco") << 4 << "/dev/ttyS3";
}

void TestEnlaceSimulador::dispositivo()
{
    QFETCH(int, numero);
    QFETCH(QString, esperado);
    PuertoSerieQt p;
    p.setMapaPuertos({{3, " /dev/pts/9"}, {4, " "}});
    QCOMPARE(p.dispositivo(numero), esperado);
}

void TestEnlaceSimulador::abrirDispositivoInexistente()
{
    PuertoSerieQt p;
    p.setMapaPuertos({{1, "/dev/no-existe-kalverostin"}});
    QVERIFY(!p.abrir(1));
    QVERIFY(!p.estaAbierto());
    QVERIFY(!p.descripcionError().isEmpty());
    QVERIFY(!p.abrir(0));
}

void TestEnlaceSimulador::cancelacionCortaLaEspera()
{
    korasim::Simulador sim;
    korasim::Fallos f;
    f.silencioso = true;
    sim.agregarTerminal(7).fijarFallos(f);
    const QString dispositivo = sim.abrirPty(korasim::Modo::RS232);
    QVERIFY(!dispositivo.isEmpty());
    PuertoSerieQt puerto;
    puerto.setMapaPuertos({{1, dispositivo}});
    QVERIFY(puerto.abrir(1));

    Cancelacion cancelar{false};
    ClassRS485 e = leerHora();
    e.MSComm = &puerto;
    e.timeout = 100000.0f;
    e.cancelar = &cancelar;
    std::thread cierre([&] {
        QThread::msleep(200);
        cancelar = true;
    });
    e.Send232();
    cierre.join();

    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QVERIFY(e.TextoRespuesta.contains("cancelada"));
    QCOMPARE(peticiones(sim), 1);
}

void TestEnlaceSimulador::serie_data()
{
    QTest::addColumn<bool>("rs485");
    QTest::addColumn<QString>("fallo");
    QTest::addColumn<int>("codigo");
    QTest::addColumn<int>("intentos");

    QTest::newRow("232 responde") << false << "none" << 0 << 1;
    QTest::newRow("485 responde") << true << "none" << 0 << 1;
    QTest::newRow("232 silencioso") << false << "silent" << 4 << 3;
    QTest::newRow("485 silencioso") << true << "silent" << 1 << 3;
    QTest::newRow("485 conversor sin eco") << true << "noecho" << 3 << 3;
    QTest::newRow("232 checksum corrupto") << false << "corrupt" << 3 << 3;
    QTest::newRow("485 respuestas perdidas") << true << "drop=1" << 1 << 3;
}

void TestEnlaceSimulador::serie()
{
    QFETCH(bool, rs485);
    QFETCH(QString, fallo);
    QFETCH(int, codigo);
    QFETCH(int, intentos);

    korasim::Simulador sim;
    auto &terminal = sim.agregarTerminal(7);
    terminal.fijarRespuestaReloj(kReloj);
    korasim::Fallos f;
    QVERIFY(korasim::aplicarFallo(f, fallo));
    terminal.fijarFallos(f);
    QString error;
    const QString dispositivo = sim.abrirPty(rs485 ? korasim::Modo::RS485 : korasim::Modo::RS232, {}, &error);
    QVERIFY2(!dispositivo.isEmpty(), qPrintable(error));

    PuertoSerieQt puerto;
    puerto.setMapaPuertos({{5, dispositivo}});
    QVERIFY2(puerto.abrir(5), qPrintable(puerto.descripcionError()));
    ClassRS485 e = leerHora();
    e.MSComm = &puerto;
    e.timeout = codigo == 0 ? 5.0f : 0.3f;
    rs485 ? e.Send485() : e.Send232();

    QCOMPARE(int(e.CodigoRespuesta), codigo);
    QCOMPARE(peticiones(sim), intentos);
    if (codigo == 0)
        QCOMPARE(e.Respuesta().left(7), QByteArray(reinterpret_cast<const char *>(kReloj.data()), 7));
}

void TestEnlaceSimulador::puertoCerrado()
{
    korasim::Simulador sim;
    sim.agregarTerminal(7);
    const QString dispositivo = sim.abrirPty(korasim::Modo::RS485);
    QVERIFY(!dispositivo.isEmpty());

    PuertoSerieQt puerto;
    puerto.setMapaPuertos({{1, dispositivo}});
    QVERIFY(puerto.abrir(1));
    puerto.cerrar();
    ClassRS485 e = leerHora();
    e.MSComm = &puerto;
    e.Send485();
    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QCOMPARE(e.TextoRespuesta, QStringLiteral("Error: el puerto serie no está abierto"));
    QTest::qWait(100);
    QCOMPARE(peticiones(sim), 0);
}

void TestEnlaceSimulador::tcp_data()
{
    QTest::addColumn<QString>("fallo");
    QTest::addColumn<int>("codigo");
    QTest::newRow("responde") << "none" << 0;
    QTest::newRow("byte de mas") << "extra" << 4;
    QTest::newRow("silencioso") << "silent" << 4;
}

void TestEnlaceSimulador::tcp()
{
    QFETCH(QString, fallo);
    QFETCH(int, codigo);

    korasim::Simulador sim;
    auto &terminal = sim.agregarTerminal(7);
    terminal.fijarRespuestaReloj(kReloj);
    korasim::Fallos f;
    QVERIFY(korasim::aplicarFallo(f, fallo));
    terminal.fijarFallos(f);
    const quint16 puertoTcp = sim.escucharTcp(7, QHostAddress::LocalHost, 0);
    QVERIFY(puertoTcp != 0);

    SocketTcpQt socket;
    ClassRS485 e = leerHora();
    e.WinsockRef = &socket;
    e.RemoteIP = "127.0.0.1";
    e.RemotePort = puertoTcp;
    e.timeout = codigo == 0 ? 5.0f : 0.3f;
    e.SendIP();

    QCOMPARE(int(e.CodigoRespuesta), codigo);
    QCOMPARE(peticiones(sim), 1);
    QVERIFY(!socket.conectado());
    if (codigo == 0)
        QCOMPARE(e.Respuesta().left(7), QByteArray(reinterpret_cast<const char *>(kReloj.data()), 7));
}

QTEST_GUILESS_MAIN(TestEnlaceSimulador)
#include "test_enlace_simulador.moc"
