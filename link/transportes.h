#pragma once
// The two transports the link object drives, as small interfaces so that the
// exchange logic can be tested on fakes. The Qt implementations live in
// puerto_serie_qt.h and socket_tcp_qt.h. All are used from one thread (the
// communications worker) and block with deadlines; none polls busily.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <atomic>

// Set from another thread to make every wait return early (program closing).
using Cancelacion = std::atomic<bool>;

class PuertoSerie {
public:
    virtual ~PuertoSerie() = default;

    // Port handling done by the command procedures before an exchange.
    virtual void cerrar() = 0;
    // Opens port number n (1..16) with 57600,N,8,1 in binary mode, closing
    // any other open port first; a healthy port on the same device may stay open.
    virtual bool abrir(int numeroPuerto) = 0;
    virtual bool estaAbierto() const = 0;

    // The five operations an exchange needs. Each returns false on a port
    // fault; descripcionError() then tells what happened. The waits return
    // early (without a fault) when the cancellation flag is set; the caller
    // checks the flag.
    virtual bool descartarEntrada() = 0;                      // InBufferCount = 0
    virtual bool escribir(const QByteArray &bytes) = 0;       // Output = bytes
    virtual bool esperarSalidaVacia(const Cancelacion *c) = 0; // until OutBufferCount = 0
    // Blocks until at least `cuantos` bytes are waiting, the deadline passes or
    // the cancellation flag is set; returns the count waiting (InBufferCount),
    // or -1 on a port fault.
    virtual int esperarEntrada(int cuantos, QDeadlineTimer limite, const Cancelacion *c) = 0;
    virtual bool leerTodo(QByteArray &salida) = 0;            // Input
    virtual QString descripcionError() const = 0;

    // The link gave up on a request whose answer may still come: up to
    // `bytes` more bytes until `hasta`. Before the next request the link calls
    // esperarLineaLibre(), which waits that answer out and throws it away, so
    // that it cannot pass for the next request's answer. A port that never
    // receives anything late (a scripted one) needs neither.
    virtual void respuestaAbandonada(int /*bytes*/, QDeadlineTimer /*hasta*/) {}
    // False on a port fault; returns early (true) when cancelled.
    virtual bool esperarLineaLibre(const Cancelacion * /*c*/) { return true; }
};

class SocketTcp {
public:
    virtual ~SocketTcp() = default;
    // Connects, blocking until connected, refused/unreachable, the deadline or
    // cancellation. Returns true when connected.
    virtual bool conectar(const QString &host, quint16 puerto, QDeadlineTimer limite, const Cancelacion *c) = 0;
    virtual bool conectado() const = 0;
    virtual void cerrar() = 0;
    virtual bool enviar(const QByteArray &bytes) = 0;
    // Same contract as PuertoSerie::esperarEntrada.
    virtual int esperarEntrada(int cuantos, QDeadlineTimer limite, const Cancelacion *c) = 0;
    virtual QByteArray leerTodo() = 0;
    virtual QString descripcionError() const = 0;
};
