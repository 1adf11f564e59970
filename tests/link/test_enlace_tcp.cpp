// SendIP through the real QTcpSocket against a small terminal peer on loopback.

#include "class_rs485.h"
#include "socket_tcp_qt.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <future>

namespace {

const QByteArray kLeerHora = QByteArray::fromHex("01292a");

// Accepts one connection, reads the request, sends the scripted answer and
// waits for the client to close. Runs on its own thread, blocking.
class Terminal : public QThread {
public:
    QByteArray respuesta;
    bool responder = true;

    QByteArray recibido;
    bool aceptada = false;
    bool cerradaPorCliente = false;

    quint16 puerto() { return puerto_.get_future().get(); }

protected:
    void run() override
    {
        QTcpServer servidor;
        servidor.listen(QHostAddress::LocalHost, 0);
        puerto_.set_value(servidor.serverPort());
        if (!servidor.waitForNewConnection(10000))
            return;
        QTcpSocket *s = servidor.nextPendingConnection();
        aceptada = true;
        const QDeadlineTimer fin(10000);
        while (recibido.size() < kLeerHora.size() && s->state() == QAbstractSocket::ConnectedState
               && !fin.hasExpired()) {
            s->waitForReadyRead(20);
            recibido += s->readAll();
        }
        if (responder && s->state() == QAbstractSocket::ConnectedState) {
            s->write(respuesta);
            s->waitForBytesWritten(1000);
        }
        while (s->state() == QAbstractSocket::ConnectedState && !fin.hasExpired()) {
            s->waitForReadyRead(20);
            recibido += s->readAll();
        }
        cerradaPorCliente = s->state() != QAbstractSocket::ConnectedState;
    }

private:
    std::promise<quint16> puerto_;
};

QByteArray respuestaValida(const QByteArray &carga)
{
    quint8 suma = 0x54; // sum of the request 01 29 2A
    for (char c : carga)
        suma = quint8(suma + quint8(c));
    return carga + char(suma);
}

} // namespace

class TestEnlaceTcp : public QObject {
    Q_OBJECT
private slots:
    void intercambio_data();
    void intercambio();
    void nadieEscuchando();
    void fechaCierraLaConexion();
    void cancelacionDuranteEspera();
};

void TestEnlaceTcp::intercambio_data()
{
    QTest::addColumn<QByteArray>("respuesta");
    QTest::addColumn<bool>("responder");
    QTest::addColumn<int>("codigo");

    const QByteArray buena = respuestaValida(QByteArray::fromHex("2359100612243f"));
    QTest::newRow("m bytes") << buena << true << 0;
    QTest::newRow("m bytes con checksum malo") << QByteArray(8, char(7)) << true << 0; // not checked over TCP
    QTest::newRow("m+1 bytes") << buena + char(0) << true << 4;
    QTest::newRow("m-1 bytes") << buena.left(7) << true << 4;
    QTest::newRow("silencio") << QByteArray() << false << 4;
}

void TestEnlaceTcp::intercambio()
{
    QFETCH(QByteArray, respuesta);
    QFETCH(bool, responder);
    QFETCH(int, codigo);

    Terminal terminal;
    terminal.respuesta = respuesta;
    terminal.responder = responder;
    terminal.start();

    SocketTcpQt socket;
    ClassRS485 e;
    e.WinsockRef = &socket;
    e.RemoteIP = "127.0.0.1";
    e.RemotePort = terminal.puerto();
    e.codigo = 1;
    e.Longitud = 9;
    e.timeout = codigo == 0 ? 10.0f : 0.5f;
    e.Reintentos = 0; // TCP makes its one attempt all the same
    e.SendIP();
    QVERIFY(terminal.wait(15000));

    QCOMPARE(int(e.CodigoRespuesta), codigo);
    QCOMPARE(e.TextoRespuesta, codigo == 0 ? QStringLiteral("OK, paquete recibido.")
                                           : QStringLiteral("Error: timeout, no se reciben datos"));
    QCOMPARE(terminal.recibido, kLeerHora);
    QVERIFY(terminal.cerradaPorCliente);
    QVERIFY(!socket.conectado());
    QCOMPARE(e.Respuesta().left(7), codigo == 0 ? respuesta.left(7) : QByteArray(7, 0));
    QCOMPARE(e.Respuesta().mid(7), QByteArray(24, 0));
}

void TestEnlaceTcp::nadieEscuchando()
{
    quint16 libre;
    {
        QTcpServer s;
        QVERIFY(s.listen(QHostAddress::LocalHost, 0));
        libre = s.serverPort();
    }
    SocketTcpQt socket;
    ClassRS485 e;
    e.WinsockRef = &socket;
    e.RemoteIP = "127.0.0.1";
    e.RemotePort = libre;
    e.timeout = 10.0f;
    e.SendIP();
    QCOMPARE(e.CodigoRespuesta, quint8(5));
    QCOMPARE(e.TextoRespuesta, QStringLiteral("Error: no se puede conectar con el equipo remoto."));
    QVERIFY(!socket.conectado());
}

void TestEnlaceTcp::fechaCierraLaConexion()
{
    Terminal terminal;
    terminal.responder = false;
    terminal.start();

    SocketTcpQt socket;
    ClassRS485 e;
    e.WinsockRef = &socket;
    e.RemoteIP = "127.0.0.1";
    e.RemotePort = terminal.puerto();
    e.timeout = 10.0f;
    e.datos = Datos::fecha(QDateTime::currentDateTime());
    e.SendIP();
    QVERIFY(terminal.wait(15000));

    QCOMPARE(e.CodigoRespuesta, quint8(7));
    QVERIFY(terminal.aceptada);
    QVERIFY(terminal.recibido.isEmpty());
    QVERIFY(terminal.cerradaPorCliente);
    QVERIFY(!socket.conectado());
}

void TestEnlaceTcp::cancelacionDuranteEspera()
{
    Terminal terminal;
    terminal.responder = false;
    terminal.start();

    Cancelacion cancelar{false};
    SocketTcpQt socket;
    ClassRS485 e;
    e.WinsockRef = &socket;
    e.RemoteIP = "127.0.0.1";
    e.RemotePort = terminal.puerto();
    e.codigo = 1;
    e.Longitud = 9;
    e.timeout = 100000.0f;
    e.cancelar = &cancelar;
    std::thread cierre([&] {
        QThread::msleep(200);
        cancelar = true;
    });
    e.SendIP();
    cierre.join();
    QVERIFY(terminal.wait(15000));

    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QVERIFY(e.TextoRespuesta.contains("cancelada"));
    QVERIFY(terminal.cerradaPorCliente);
}

QTEST_GUILESS_MAIN(TestEnlaceTcp)
#include "test_enlace_tcp.moc"
