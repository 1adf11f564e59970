#pragma once
// Scripted stand-ins for the serial port and the TCP socket: they record what
// the link object writes and deliver the answers a test prepares.

#include "transportes.h"

#include <QList>
#include <QThread>

class PuertoFalso final : public PuertoSerie {
public:
    QList<QByteArray> escritos;   // every request written, in order
    QList<QByteArray> respuestas; // what arrives after each write; missing = silence
    QByteArray entrada;           // bytes waiting in the receive buffer
    bool eco = false;             // an RS-485 converter returns every byte sent
    bool abierto = true;
    bool fallarEscritura = false;
    bool bloquear = false;        // wait for real until the deadline or cancellation
    int descartes = 0;
    int ultimaEspera = -1;        // the count the last wait asked for

    void cerrar() override { abierto = false; }
    bool abrir(int) override { return abierto = true; }
    bool estaAbierto() const override { return abierto; }

    bool descartarEntrada() override
    {
        if (!abierto)
            return false;
        entrada.clear();
        ++descartes;
        return true;
    }
    bool escribir(const QByteArray &bytes) override
    {
        if (!abierto || fallarEscritura)
            return false;
        escritos << bytes;
        if (eco)
            entrada += bytes;
        if (!respuestas.isEmpty())
            entrada += respuestas.takeFirst();
        return true;
    }
    bool esperarSalidaVacia(const Cancelacion *) override { return abierto; }
    int esperarEntrada(int cuantos, QDeadlineTimer limite, const Cancelacion *c) override
    {
        ultimaEspera = cuantos;
        while (bloquear && entrada.size() < cuantos && !limite.hasExpired() && !(c && c->load()))
            QThread::msleep(5);
        return int(entrada.size());
    }
    bool leerTodo(QByteArray &salida) override
    {
        salida = entrada;
        entrada.clear();
        return abierto;
    }
    QString descripcionError() const override { return QStringLiteral("fallo simulado del puerto"); }
};

class SocketFalso final : public SocketTcp {
public:
    bool aceptar = true;
    bool abierto = false;
    int conexiones = 0;
    int cierres = 0;
    QList<QByteArray> enviados;
    int cuentaVista = 0;    // what the wait reports
    QByteArray alLeer;      // what a read takes (may be more than the wait saw)

    bool conectar(const QString &, quint16, QDeadlineTimer, const Cancelacion *) override
    {
        ++conexiones;
        abierto = aceptar;
        return abierto;
    }
    bool conectado() const override { return abierto; }
    void cerrar() override
    {
        ++cierres;
        abierto = false;
    }
    bool enviar(const QByteArray &bytes) override
    {
        enviados << bytes;
        return true;
    }
    int esperarEntrada(int, QDeadlineTimer, const Cancelacion *) override { return cuentaVista; }
    QByteArray leerTodo() override { return alLeer; }
    QString descripcionError() const override { return QStringLiteral("fallo simulado del socket"); }
};
