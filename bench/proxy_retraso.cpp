// A TCP proxy that puts a distance between a client and its server: every
// chunk is forwarded delay/2 ms after it arrived, each way, so that every
// round trip costs `delay` ms more. It counts the round trips the clients
// make: a client's send after it received something (or its first send on a
// connection) is one; a request written in several pieces, or several
// requests sent before any answer (a pipeline), is still one.
//
//   proxy_retraso <listen-port> <target-host:port> <delay-ms> [--cuenta FILE]
//
// Listens on 127.0.0.1 (port 0 = any free port). Prints "LISTEN <port>" and
// "READY", then the counts on SIGUSR1 and at SIGTERM/SIGINT, where it ends.
// With --cuenta, FILE always holds the counts as they stand, rewritten before
// the chunk that changed them is forwarded: once a client has its answer, the
// file counts the request.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <deque>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Cuentas {
    qint64 idas = 0;       // round trips
    qint64 envios = 0;     // client chunks as they arrived
    qint64 conexiones = 0;
    qint64 bytesSubida = 0;
    qint64 bytesBajada = 0;

    QByteArray texto() const
    {
        return QStringLiteral("ROUNDTRIPS %1\nCLIENT_WRITES %2\nCONNECTIONS %3\nBYTES_UP %4\nBYTES_DOWN %5\n")
            .arg(idas).arg(envios).arg(conexiones).arg(bytesSubida).arg(bytesBajada)
            .toUtf8();
    }
};

Cuentas cuentas;
QString archivoCuenta;
QElapsedTimer reloj;

void guardarCuenta()
{
    if (archivoCuenta.isEmpty())
        return;
    // Written beside and renamed, so a reader never sees half a file.
    const QString tmp = archivoCuenta + QStringLiteral(".tmp");
    QFile f(tmp);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        f.write(cuentas.texto());
        f.close();
        ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(archivoCuenta).constData());
    }
}

// One direction of one connection: chunks waiting for their time.
class Tramo : public QObject {
public:
    Tramo(QTcpSocket *destino, double retrasoMs, QObject *padre)
        : QObject(padre), destino_(destino), retrasoNs_(qint64(retrasoMs * 1e6))
    {
        temporizador_.setSingleShot(true);
        temporizador_.setTimerType(Qt::PreciseTimer);
        connect(&temporizador_, &QTimer::timeout, this, &Tramo::vaciar);
    }

    void poner(QByteArray datos)
    {
        cola_.push_back({reloj.nsecsElapsed() + retrasoNs_, std::move(datos), false});
        programar();
    }
    // The peer closed: close this side once what came before has gone.
    void cerrarTras()
    {
        cola_.push_back({reloj.nsecsElapsed() + retrasoNs_, {}, true});
        programar();
    }
    // The target connected: what waited goes out at its time.
    void listo() { programar(); }

private:
    struct Trozo {
        qint64 momento;
        QByteArray datos;
        bool cierre;
    };

    void programar()
    {
        if (cola_.empty() || destino_->state() != QAbstractSocket::ConnectedState || temporizador_.isActive())
            return;
        // Timers count whole milliseconds: rounded to the nearest, and a chunk
        // due within half a millisecond goes now, so the delay is right on average.
        temporizador_.start(int(qMax<qint64>(0, cola_.front().momento - reloj.nsecsElapsed() + 500000) / 1000000));
    }
    void vaciar()
    {
        if (destino_->state() != QAbstractSocket::ConnectedState)
            return;
        while (!cola_.empty() && cola_.front().momento <= reloj.nsecsElapsed() + 500000) {
            Trozo t = std::move(cola_.front());
            cola_.pop_front();
            if (t.cierre) {
                destino_->disconnectFromHost();
                cola_.clear();
                return;
            }
            destino_->write(t.datos);
        }
        programar();
    }

    QTcpSocket *destino_;
    qint64 retrasoNs_;
    std::deque<Trozo> cola_;
    QTimer temporizador_;
};

class Par : public QObject {
public:
    Par(QTcpSocket *cliente, const QString &host, quint16 puerto, int retrasoMs, QObject *padre)
        : QObject(padre), cliente_(cliente), servidor_(new QTcpSocket(this))
    {
        cliente_->setParent(this);
        cliente_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        subida_ = new Tramo(servidor_, retrasoMs / 2.0, this);
        bajada_ = new Tramo(cliente_, retrasoMs / 2.0, this);
        ++cuentas.conexiones;
        guardarCuenta();

        connect(cliente_, &QTcpSocket::readyRead, this, [this] {
            const QByteArray d = cliente_->readAll();
            if (d.isEmpty())
                return;
            ++cuentas.envios;
            cuentas.bytesSubida += d.size();
            if (!clienteHablando_) {
                ++cuentas.idas;
                clienteHablando_ = true;
            }
            guardarCuenta();
            subida_->poner(d);
        });
        connect(servidor_, &QTcpSocket::readyRead, this, [this] {
            const QByteArray d = servidor_->readAll();
            if (d.isEmpty())
                return;
            cuentas.bytesBajada += d.size();
            clienteHablando_ = false;
            bajada_->poner(d);
        });
        connect(servidor_, &QTcpSocket::connected, this, [this] {
            servidor_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            subida_->listo();
        });
        connect(cliente_, &QTcpSocket::disconnected, this, [this] { subida_->cerrarTras(); terminarSi(); });
        connect(servidor_, &QTcpSocket::disconnected, this, [this] { bajada_->cerrarTras(); terminarSi(); });
        connect(servidor_, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
            if (e != QAbstractSocket::RemoteHostClosedError) {
                std::fprintf(stderr, "proxy_retraso: target: %s\n", qPrintable(servidor_->errorString()));
                cliente_->disconnectFromHost();
            }
        });
        servidor_->connectToHost(host, puerto);
    }

private:
    void terminarSi()
    {
        if (cliente_->state() == QAbstractSocket::UnconnectedState
            && servidor_->state() == QAbstractSocket::UnconnectedState)
            deleteLater();
    }

    QTcpSocket *cliente_;
    QTcpSocket *servidor_;
    Tramo *subida_ = nullptr;
    Tramo *bajada_ = nullptr;
    bool clienteHablando_ = false;
};

int tuberiaSenal[2];

void alRecibirSenal(int s)
{
    const char c = char(s);
    [[maybe_unused]] const ssize_t n = ::write(tuberiaSenal[1], &c, 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (const int i = args.indexOf(QStringLiteral("--cuenta")); i >= 0 && i + 1 < args.size()) {
        archivoCuenta = args[i + 1];
        args.remove(i, 2);
    }
    bool okPuerto = false, okRetraso = false;
    const int puertoEscucha = args.size() == 3 ? args[0].toInt(&okPuerto) : -1;
    const int retraso = args.size() == 3 ? args[2].toInt(&okRetraso) : -1;
    const qsizetype dosPuntos = args.size() == 3 ? args[1].lastIndexOf(u':') : -1;
    bool okDestino = false;
    const quint16 puertoDestino = dosPuntos > 0 ? args[1].mid(dosPuntos + 1).toUShort(&okDestino) : 0;
    if (!okPuerto || puertoEscucha < 0 || puertoEscucha > 65535 || !okRetraso || retraso < 0 || !okDestino) {
        std::fprintf(stderr, "usage: proxy_retraso <listen-port> <target-host:port> <delay-ms> [--cuenta FILE]\n");
        return 2;
    }
    const QString hostDestino = args[1].left(dosPuntos);
    reloj.start();

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, tuberiaSenal) != 0)
        return 2;
    QSocketNotifier aviso(tuberiaSenal[0], QSocketNotifier::Read);
    QObject::connect(&aviso, &QSocketNotifier::activated, [&] {
        char c = 0;
        if (::read(tuberiaSenal[0], &c, 1) != 1)
            return;
        std::fputs(cuentas.texto().constData(), stdout);
        std::fflush(stdout);
        if (c != SIGUSR1)
            app.quit();
    });
    struct sigaction sa {};
    sa.sa_handler = alRecibirSenal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGUSR1})
        sigaction(s, &sa, nullptr);

    QTcpServer servidor;
    if (!servidor.listen(QHostAddress::LocalHost, quint16(puertoEscucha))) {
        std::fprintf(stderr, "proxy_retraso: cannot listen on 127.0.0.1:%d: %s\n", puertoEscucha,
                     qPrintable(servidor.errorString()));
        return 2;
    }
    QObject::connect(&servidor, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *c = servidor.nextPendingConnection())
            new Par(c, hostDestino, puertoDestino, retraso, &servidor);
    });
    guardarCuenta();
    std::printf("LISTEN %d\nREADY\n", int(servidor.serverPort()));
    std::fflush(stdout);
    return app.exec();
}
