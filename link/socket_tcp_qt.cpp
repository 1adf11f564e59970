#include "socket_tcp_qt.h"

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
} // namespace

bool SocketTcpQt::conectar(const QString &host, quint16 puerto, QDeadlineTimer limite, const Cancelacion *c)
{
    socket_.abort();
    if (cancelado(c) || limite.hasExpired())
        return false;
    socket_.connectToHost(host, puerto);
    const qint64 restante = std::clamp<qint64>(limite.remainingTime(), 1, std::numeric_limits<int>::max());
    if (!socket_.waitForConnected(int(restante)) || cancelado(c)) {
        error_ = socket_.errorString();
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
