#pragma once
// The link object: builds the request packet of one exchange, carries it over
// RS-232, RS-485 (through an echoing converter) or TCP, validates the answer
// and reports a result code and text. One object serves one command.

#include "link/datos.h"
#include "link/kora.h"
#include "link/transportes.h"

#include <QByteArray>
#include <QString>
#include <array>

class LineaEnlace;

class ClassRS485 {
public:
    SocketTcp *WinsockRef = nullptr;
    QString RemoteIP;
    qint32 RemotePort = 0;
    PuertoSerie *MSComm = nullptr;
    quint8 Direccion = 1;
    quint8 codigo = 0;
    quint8 Longitud = 0;
    quint8 Reintentos = 3;
    float timeout = 0.1f;
    quint8 CodigoRespuesta = 0;
    QString TextoRespuesta;
    Datos datos;

    // Not part of the exchange: lets the program stop a wait at once when it closes.
    const Cancelacion *cancelar = nullptr;

    // Copy of the response buffer, room for the longest answer a length field allows.
    QByteArray Respuesta() const;

    void Send485();
    void SendIP();
    void Send232();

    // Request packet for the current fields (exposed for tests and the simulator's peers).
    static QByteArray construirPeticion(quint8 direccion, quint8 codigo, quint8 longitud, const QByteArray &datos);

private:
    // The one exchange loop; the transport says what differs.
    void intercambiar(LineaEnlace &linea);
    // Normalises datos and builds the request; false (code 6 or 7 set) when it cannot be sent.
    bool prepararPeticion(QByteArray &peticion);
    void fijar(quint8 codigoRespuesta, const QString &texto);
    bool cancelado() const { return cancelar && cancelar->load(); }
    // Copies answer bytes into the response buffer; false when they do not fit.
    bool copiarRespuesta(const QByteArray &origen, qsizetype desde, qsizetype cuantos);

    std::array<quint8, kora::kLongitudMaxima> respuesta_{};
};
