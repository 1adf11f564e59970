#pragma once
// A serial port for the link and command tests and the link's fuzz target:
// records every request written and delivers the answers a test prepares.

#include "link/transportes.h"

#include <QList>
#include <utility>

class PuertoFalso final : public PuertoSerie {
public:
    QList<QByteArray> escritos;
    QList<QByteArray> respuestas; // what arrives after each write; missing = silence
    bool eco = false;             // an RS-485 converter returns every byte sent
    bool fallarEscritura = false, fallarLectura = false;
    int descartes = 0;
    int ultimaEspera = -1;        // the count the last wait asked for

    void cerrar() override {}
    bool abrir(int) override { return true; }
    bool estaAbierto() const override { return true; }
    bool descartarEntrada() override { return entrada_.clear(), ++descartes, true; }
    bool escribir(const QByteArray &bytes) override
    {
        if (!fallarEscritura)
            escritos << bytes, entrada_ += (eco ? bytes : QByteArray()) + respuestas.value(escritos.size() - 1);
        return !fallarEscritura;
    }
    bool esperarSalidaVacia(const Cancelacion *) override { return true; }
    int esperarEntrada(int cuantos, QDeadlineTimer, const Cancelacion *) override
    {
        return ultimaEspera = cuantos, int(entrada_.size());
    }
    bool leerTodo(QByteArray &salida) override { return salida = std::exchange(entrada_, {}), !fallarLectura; }
    QString descripcionError() const override { return QStringLiteral("fallo simulado del puerto"); }

private:
    QByteArray entrada_;
};
