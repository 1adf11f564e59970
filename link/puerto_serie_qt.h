#pragma once
// The serial port of a real machine, through QSerialPort. Created and used on
// one thread (the communications worker); needs no running event loop.

#include "link/transportes.h"

#include <QHash>
#include <QSerialPort>
#include <optional>

class PuertoSerieQt final : public PuertoSerie {
public:
    PuertoSerieQt() = default;

    // Port number -> device, from config.ini [puertos] comN=<device>. Numbers
    // missing here use the platform's default name (ttyS<n-1> / COMn).
    void setMapaPuertos(const QHash<int, QString> &mapa) { mapa_ = mapa; }
    QString dispositivo(int numeroPuerto) const;

    void cerrar() override;
    bool abrir(int numeroPuerto) override;
    bool estaAbierto() const override;

    bool descartarEntrada() override;
    bool escribir(const QByteArray &bytes) override;
    bool esperarSalidaVacia(const Cancelacion *c) override;
    int esperarEntrada(int cuantos, QDeadlineTimer limite, const Cancelacion *c) override;
    bool leerTodo(QByteArray &salida) override;
    QString descripcionError() const override { return error_; }
    void respuestaAbandonada(int bytes, QDeadlineTimer hasta) override;
    bool esperarLineaLibre(const Cancelacion *c) override;

private:
    bool fallo(const QString &descripcion);
    bool falloDelPuerto();
    bool comprobarAbierto();
    // Moves whatever the driver already holds into QSerialPort's buffer.
    bool recogerPendientes();

    QSerialPort puerto_;
    QHash<int, QString> mapa_;
    QString error_;
    QString abierto_; // device of the open port
    bool sano_ = false; // no fault since it was opened
    struct Abandonada {
        int bytes;
        QDeadlineTimer hasta;
    };
    std::optional<Abandonada> abandonada_;
};
