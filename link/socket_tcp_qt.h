#pragma once
// TCP client socket through QTcpSocket. Created and used on one thread (a
// communications lane); needs no running event loop.

#include "link/transportes.h"

#include <QTcpSocket>

class SocketTcpQt final : public SocketTcp {
public:
    SocketTcpQt() = default;

    // Looks at the cancellation flag every 50 ms while it waits.
    bool conectar(const QString &host, quint16 puerto, QDeadlineTimer limite, const Cancelacion *c) override;
    bool conectado() const override;
    void cerrar() override;
    bool enviar(const QByteArray &bytes) override;
    int esperarEntrada(int cuantos, QDeadlineTimer limite, const Cancelacion *c) override;
    QByteArray leerTodo() override;
    QString descripcionError() const override { return error_; }

private:
    bool recogerPendientes();

    QTcpSocket socket_;
    QString error_;
};
