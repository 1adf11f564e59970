// The link object through the real QSerialPort and QTcpSocket against the
// terminal simulator: RS-232 and RS-485 (with the converter's echo) on a
// pseudo-terminal, and TCP on loopback.

#include "link/class_rs485.h"
#include "link/puerto_serie_qt.h"
#include "link/socket_tcp_qt.h"
#include "tools/sim/simulador.h"

#include <QTcpServer>
#include <QtTest>
#include <thread>

namespace {

enum Via { RS232, RS485, TCP, TcpSinServidor, TcpSinAceptar };

const QString kOk = QStringLiteral("OK, paquete recibido.");
const QString kSinDatos = QStringLiteral("Error: timeout, no se reciben datos");
const QString kCancelada = QStringLiteral("Error: operación cancelada al cerrar el programa.");

const QByteArray kReloj = QByteArray::fromHex("12345603150624");

int peticiones(const korasim::Simulador &sim)
{
    const auto r = sim.registro();
    return int(std::ranges::count(r, korasim::EntradaLog::Sentido::Peticion, &korasim::EntradaLog::sentido));
}

// Points the link object at terminal 7 of the simulator; an error text when it cannot.
QString enlazar(korasim::Simulador &sim, int via, ClassRS485 &e, PuertoSerieQt &puerto, SocketTcpQt &socket)
{
    QString error;
    if (via == RS232 || via == RS485) {
        const auto modo = via == RS485 ? korasim::Modo::RS485 : korasim::Modo::RS232;
        const QString dispositivo = sim.abrirPty(modo, {}, &error);
        puerto.setMapaPuertos({{5, dispositivo}});
        if (dispositivo.isEmpty() || !puerto.abrir(5))
            return error + puerto.descripcionError();
        e.MSComm = &puerto;
        return {};
    }
    e.RemotePort = sim.escucharTcp(7, QHostAddress::LocalHost, 0, &error);
    e.WinsockRef = &socket;
    e.RemoteIP = "127.0.0.1";
    return e.RemotePort ? QString() : error;
}

} // namespace

class TestEnlaceSimulador : public QObject {
    Q_OBJECT
    // Rows of the tables below; moc takes no type among the slots.
    struct Intercambio { int via; QString fallo; int codigo; QString texto; int intentos; };
private slots:
    void puertoNoAbierto()
    {
        // Port n is its config.ini device, blanks trimmed, or else ttyS<n-1>.
        PuertoSerieQt puerto;
        puerto.setMapaPuertos({{1, " /dev/no-existe-kalverostin "}, {4, " "}});
        QCOMPARE(puerto.dispositivo(1), "/dev/no-existe-kalverostin");
        QCOMPARE(puerto.dispositivo(4), "/dev/ttyS3");
        QVERIFY(!puerto.abrir(1));
        QVERIFY(!puerto.descripcionError().isEmpty());
        ClassRS485 e;
        e.MSComm = &puerto;
        e.Send485();
        QCOMPARE(e.CodigoRespuesta, quint8(6));
        QCOMPARE(e.TextoRespuesta, QStringLiteral("Error: el puerto serie no está abierto"));
    }

    void intercambio_data()
    {
        QTest::addColumn<Intercambio>("f");
        QTest::newRow("232 responde") << Intercambio{RS232, "none", 0, kOk, 1};
        QTest::newRow("485 responde") << Intercambio{RS485, "none", 0, kOk, 1};
        QTest::newRow("tcp responde") << Intercambio{TCP, "none", 0, kOk, 1};
        QTest::newRow("232 respuesta tardia") << Intercambio{RS232, "delay=150", 0, kOk, 1};
        QTest::newRow("tcp respuesta tardia") << Intercambio{TCP, "delay=150", 0, kOk, 1};
        QTest::newRow("232 silencioso")
            << Intercambio{RS232, "silent", 4, "Error: timeout, no se recibe el eco (revise las conexiones y la "
                                               "configuración del conversor RS232/RS485).", 3};
        QTest::newRow("485 silencioso: solo el eco")
            << Intercambio{RS485, "silent", 1, "Error: timeout, se ha sobrepasado el tiempo máximo para recibir la respuesta.", 3};
        QTest::newRow("tcp byte de mas") << Intercambio{TCP, "extra", 4, kSinDatos, 1};
        // Nothing listening: the connection is tried before `datos` (a date: code 7) is looked at.
        QTest::newRow("tcp nadie escucha")
            << Intercambio{TcpSinServidor, "none", 5, "Error: no se puede conectar con el equipo remoto.", 0};
        QTest::newRow("232 cancelada") << Intercambio{RS232, "silent", 6, kCancelada, 1};
        QTest::newRow("tcp cancelada") << Intercambio{TCP, "silent", 6, kCancelada, 1};
        QTest::newRow("tcp cancelada sin conectar") << Intercambio{TcpSinAceptar, "none", 6, kCancelada, 0};
    }
    void intercambio()
    {
        QFETCH(Intercambio, f);
        korasim::Simulador sim;
        auto &terminal = sim.agregarTerminal(7);
        terminal.fijarRespuestaReloj(korasim::RegistroReloj{0x12, 0x34, 0x56, 0x03, 0x15, 0x06, 0x24});
        korasim::Fallos fallos;
        QVERIFY(korasim::aplicarFallo(fallos, f.fallo));
        terminal.fijarFallos(fallos);

        const bool cancelar = f.texto == kCancelada;
        Cancelacion cancelacion{false};
        ClassRS485 e;
        e.Direccion = 7;
        e.codigo = kora::LeerReloj;
        e.Longitud = kora::longitud(kora::LeerReloj);
        e.datos = f.via == TcpSinServidor ? Datos::fecha({}) : Datos();
        e.cancelar = &cancelacion;
        // Codes 1 to 4 wait out the whole timeout: keep it short for them.
        e.timeout = cancelar ? 1e5f : (f.codigo >= 1 && f.codigo <= 4) ? 0.3f : 5.0f;

        PuertoSerieQt puerto;
        SocketTcpQt socket;
        const QString error = enlazar(sim, f.via, e, puerto, socket);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        if (f.via == TcpSinServidor)
            sim.detener(); // frees the port again
        // A listener that never accepts, its one-place queue taken: the connection stays half-open.
        QTcpServer lleno;
        QTcpSocket delante;
        if (f.via == TcpSinAceptar) {
            lleno.setListenBacklogSize(0);
            QVERIFY(lleno.listen(QHostAddress::LocalHost));
            lleno.pauseAccepting();
            delante.connectToHost(QHostAddress::LocalHost, lleno.serverPort());
            QVERIFY(delante.waitForConnected(5000));
            e.RemotePort = lleno.serverPort();
        }
        if (f.via >= TCP)
            e.Reintentos = 0; // TCP makes its one attempt all the same
        {
            std::jthread cierre([&] { QThread::msleep(cancelar ? 200 : 0); cancelacion = cancelar; });
            f.via == RS232 ? e.Send232() : f.via == RS485 ? e.Send485() : e.SendIP();
        }
        QCOMPARE(int(e.CodigoRespuesta), f.codigo);
        QCOMPARE(e.TextoRespuesta, f.texto);
        QCOMPARE(peticiones(sim), f.intentos);
        QVERIFY(!socket.conectado()); // one connection per exchange, closed whatever the outcome
        // The payload lands at position 0; RS-485 copies the answer's checksum as well.
        const QByteArray esperada = f.codigo != 0    ? QByteArray()
                                    : f.via == RS485 ? korasim::respuesta(korasim::peticion(7, kora::LeerReloj), kReloj)
                                                     : kReloj;
        QCOMPARE(e.Respuesta(), esperada.leftJustified(31, '\0'));
    }

    // Every second answer comes after the timeout, while the next request waits:
    // it belongs to a request already given up and must never pass for the
    // next one's answer (the records read would shift).
    void respuestaTardiaNoSeAcepta()
    {
        for (int via : {RS232, RS485}) {
            korasim::Simulador sim;
            auto &terminal = sim.agregarTerminal(7);
            for (int i = 0; i < 4; ++i)
                terminal.agregarMarcaje(QDateTime(QDate(2026, 3, 1), QTime(8, i)), quint32(1000 + i));
            korasim::Fallos f;
            QVERIFY(korasim::aplicarFallo(f, u"late=2") && korasim::aplicarFallo(f, u"latems=1500"));
            terminal.fijarFallos(f);

            ClassRS485 e;
            PuertoSerieQt puerto;
            SocketTcpQt socket;
            const QString error = enlazar(sim, via, e, puerto, socket);
            QVERIFY2(error.isEmpty(), qPrintable(error));
            e.Direccion = 7;
            e.codigo = kora::Marcajes;
            e.Longitud = kora::longitud(kora::Marcajes);
            e.Reintentos = 1;
            e.timeout = 1.0f;
            e.datos = Datos::entero16(kora::LeerSiguiente);
            int aceptadas = 0;
            for (int i = 0; i < 4; ++i) {
                const QByteArray pedido = korasim::aBytes(terminal.registro(terminal.punteroLectura()));
                via == RS232 ? e.Send232() : e.Send485();
                if (e.CodigoRespuesta == 0) {
                    ++aceptadas;
                    QCOMPARE(e.Respuesta().left(kora::registro::Bytes), pedido);
                }
            }
            QVERIFY2(aceptadas == 2, via == RS232 ? "RS-232" : "RS-485");
        }
    }
};

QTEST_GUILESS_MAIN(TestEnlaceSimulador)
#include "test_enlace_simulador.moc"
