#include "link/socket_tcp_qt.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {
constexpr int kRebanadaMs = 50;

bool cancelado(const Cancelacion *c) { return c && c->load(); }

// Errors that only mean "nothing more to read now".
bool esFinNormal(QAbstractSocket::SocketError e)
{
    return e == QAbstractSocket::SocketTimeoutError || e == QAbstractSocket::RemoteHostClosedError
        || e == QAbstractSocket::UnknownSocketError;
}

// In the program's language whatever translation is loaded: these end up in
// the log and in alerts.
QString textoConexion(const QTcpSocket &s)
{
    switch (s.error()) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("conexión rechazada");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("no se encuentra el equipo");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("red inaccesible");
    default:
        return s.errorString();
    }
}
} // namespace

bool SocketTcpQt::conectar(const QString &host, quint16 puerto, QDeadlineTimer limite, const Cancelacion *c)
{
    socket_.abort();
    error_.clear();
    if (cancelado(c) || limite.hasExpired())
        return false;
    // An event loop of its own rather than waitForConnected: that wait cannot
    // be resumed once it times out, so it could not look at the flag meanwhile.
    QEventLoop bucle;
    QTimer rebanada;
    QObject::connect(&rebanada, &QTimer::timeout, &bucle, [&] {
        if (cancelado(c) || limite.hasExpired())
            bucle.quit();
    });
    QObject::connect(&socket_, &QTcpSocket::connected, &bucle, &QEventLoop::quit);
    QObject::connect(&socket_, &QTcpSocket::errorOccurred, &bucle, &QEventLoop::quit);
    socket_.connectToHost(host, puerto);
    if (socket_.state() == QAbstractSocket::HostLookupState || socket_.state() == QAbstractSocket::ConnectingState) {
        rebanada.start(int(std::clamp<qint64>(limite.remainingTime(), 1, kRebanadaMs)));
        bucle.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        const bool esperando = socket_.state() != QAbstractSocket::UnconnectedState;
        error_ = esperando ? QStringLiteral("tiempo de conexión agotado") : textoConexion(socket_);
        socket_.abort();
        return false;
    }
    return true;
}

bool SocketTcpQt::conectado() const
{
    return socket_.state() == QAbstractSocket::ConnectedState;
}

void SocketTcpQt::cerrar()
{
    socket_.abort();
}

bool SocketTcpQt::enviar(const QByteArray &bytes)
{
    if (socket_.write(bytes) != bytes.size()) {
        error_ = socket_.errorString();
        return false;
    }
    socket_.flush();
    return true;
}

bool SocketTcpQt::recogerPendientes()
{
    while (socket_.state() == QAbstractSocket::ConnectedState) {
        if (socket_.waitForReadyRead(0))
            continue;
        if (!esFinNormal(socket_.error())) {
            error_ = socket_.errorString();
            return false;
        }
        break;
    }
    return true;
}

int SocketTcpQt::esperarEntrada(int cuantos, QDeadlineTimer limite, const Cancelacion *c)
{
    if (!recogerPendientes())
        return -1;
    while (socket_.bytesAvailable() < cuantos && !limite.hasExpired() && !cancelado(c)
           && socket_.state() == QAbstractSocket::ConnectedState) {
        const int rebanada = int(std::clamp<qint64>(limite.remainingTime(), 1, kRebanadaMs));
        if (!socket_.waitForReadyRead(rebanada) && !esFinNormal(socket_.error())) {
            error_ = socket_.errorString();
            return -1;
        }
    }
    return int(std::min<qint64>(socket_.bytesAvailable(), 1 << 30));
}

QByteArray SocketTcpQt::leerTodo()
{
    recogerPendientes();
    return socket_.readAll();
}
