#include "link/class_rs485.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

namespace {

const QString kOk = QStringLiteral("OK, paquete recibido.");
const QString kSinRespuesta = QStringLiteral(
    "Error: timeout, se ha sobrepasado el tiempo máximo para recibir la respuesta.");
const QString kLongitud232 = QStringLiteral("Error: no coincide longitud");
const QString kLongitud485 = QStringLiteral("Error: no coincide longitud de ");
const QString kChecksum = QStringLiteral("Error: no coincide checksum.");
const QString kSinEco = QStringLiteral(
    "Error: timeout, no se recibe el eco (revise las conexiones y la configuración del conversor RS232/RS485).");
const QString kSinDatosIP = QStringLiteral("Error: timeout, no se reciben datos");
const QString kSinConexion = QStringLiteral("Error: no se puede conectar con el equipo remoto.");
const QString kFormato = QStringLiteral(
    "Error al definir las propiedades: el formato de los datos no es compatible.");
const QString kCancelada = QStringLiteral("Error: operación cancelada al cerrar el programa.");
const QString kNoCabe = QStringLiteral("la respuesta no cabe en el búfer de respuesta");

// A terminal still busy may answer after its window closed, as late again as
// the timeout allows but at most this long (seconds): until then its answer is
// waited out before the next request goes on the line. The cap keeps a dead
// terminal from costing much more than its timeouts.
constexpr float kTardanzaMaxima = 1.0f;

QString errorDe(const QString &descripcion) { return QStringLiteral("Error: ") + descripcion; }

// Deadline `segundos` from now on a monotonic clock; a negative or NaN timeout
// leaves no time at all, an absurdly large one is capped at about 115 days.
QDeadlineTimer plazo(float segundos)
{
    double s = std::isfinite(segundos) ? double(segundos) : (segundos > 0 ? 1e7 : 0.0);
    s = std::clamp(s, 0.0, 1e7);
    return QDeadlineTimer(std::chrono::nanoseconds(qint64(s * 1e9)), Qt::PreciseTimer);
}

} // namespace

QByteArray ClassRS485::Respuesta() const
{
    return QByteArray(reinterpret_cast<const char *>(respuesta_.data()), qsizetype(respuesta_.size()));
}

QByteArray ClassRS485::construirPeticion(quint8 direccion, quint8 codigo, quint8 longitud, const QByteArray &datos)
{
    QByteArray p;
    p.reserve(datos.size() + 3);
    p.append(char(direccion));
    p.append(char(kora::cabecera(codigo, longitud)));
    p.append(datos);
    p.append(char(kora::suma(p)));
    return p;
}

void ClassRS485::fijar(quint8 codigoRespuesta, const QString &texto)
{
    CodigoRespuesta = codigoRespuesta;
    TextoRespuesta = texto;
}

bool ClassRS485::copiarRespuesta(const QByteArray &origen, qsizetype desde, qsizetype cuantos)
{
    if (cuantos <= 0)
        return true;
    if (cuantos > qsizetype(respuesta_.size()) || desde < 0 || desde + cuantos > origen.size())
        return false;
    std::copy_n(reinterpret_cast<const quint8 *>(origen.constData()) + desde, cuantos, respuesta_.begin());
    return true;
}

bool ClassRS485::prepararPeticion(QByteArray &peticion)
{
    const Datos::Normalizado norm = datos.normalizar();
    if (!norm.compatible) {
        fijar(7, kFormato);
        return false;
    }
    if (!norm.fallo.isEmpty()) {
        fijar(6, errorDe(norm.fallo));
        return false;
    }
    datos = datos.trasNormalizar(norm.bytes);
    peticion = construirPeticion(Direccion, codigo, Longitud, norm.bytes);
    return true;
}


// One transport as the exchange loop drives it: what differs between RS-232,
// RS-485 behind its echoing converter, and TCP.
class LineaEnlace {
public:
    struct Fin { // how the exchange ends
        quint8 codigo;
        QString texto;
    };
    using Paso = std::optional<Fin>; // nothing: go on

    LineaEnlace(int intentos, bool eco, const Cancelacion *c) : intentos(intentos), eco(eco), cancelar(c) {}
    virtual ~LineaEnlace() = default;

    const int intentos;
    const bool eco; // the request comes back ahead of the answer

    // Once, before the request is built.
    virtual Paso abrir() { return {}; }
    // Before each attempt.
    virtual Paso preparar() { return {}; }
    // These return false (or a negative count) on a fault of the line.
    virtual bool enviar(const QByteArray &peticion) = 0;
    virtual int esperar(int cuantos, QDeadlineTimer limite) = 0;
    virtual bool leer(QByteArray &r) = 0;
    // Why an answer is not accepted; nothing when it is.
    virtual Paso juzgar(const QByteArray &peticion, const QByteArray &r, int recibidos, qsizetype esperados) const = 0;
    // An answer given up on may still come.
    virtual void abandonar(int /*bytes*/, QDeadlineTimer /*hasta*/) {}

    bool cancelado() const { return cancelar && cancelar->load(); }
    // A fault of the line; when the program is closing, that is why.
    Fin fallo() const { return {6, cancelado() ? kCancelada : errorDe(descripcion())}; }

protected:
    virtual QString descripcion() const = 0;
    const Cancelacion *cancelar;
};

namespace {

class LineaSerie final : public LineaEnlace {
public:
    LineaSerie(PuertoSerie *puerto, bool eco, int intentos, const Cancelacion *c)
        : LineaEnlace(intentos, eco, c), p_(puerto) {}

    Paso preparar() override
    {
        if (!p_)
            return Fin{6, errorDe(QStringLiteral("no hay ningún puerto serie asignado"))};
        // An answer given up on earlier must not pass for this request's.
        if (!p_->esperarLineaLibre(cancelar))
            return fallo();
        return {};
    }
    bool enviar(const QByteArray &p) override
    {
        return p_->descartarEntrada() && p_->escribir(p) && p_->esperarSalidaVacia(cancelar);
    }
    int esperar(int cuantos, QDeadlineTimer limite) override { return p_->esperarEntrada(cuantos, limite, cancelar); }
    bool leer(QByteArray &r) override { return p_->leerTodo(r); }
    Paso juzgar(const QByteArray &peticion, const QByteArray &r, int, qsizetype esperados) const override
    {
        // Without the echo the answer's checksum continues the request's sum.
        const quint8 inicial = eco ? 0 : kora::suma(peticion);
        const bool sumaBien = !r.isEmpty() && quint8(r.back()) == kora::suma(QByteArrayView(r).chopped(1), inicial);
        if (sumaBien && r.size() == esperados)
            return {};
        if (r.isEmpty())
            return Fin{4, kSinEco};
        if (!sumaBien)
            return Fin{3, kChecksum};
        if (r.size() == peticion.size())
            return Fin{1, kSinRespuesta};
        return Fin{2, eco ? kLongitud485 : kLongitud232};
    }
    void abandonar(int bytes, QDeadlineTimer hasta) override { p_->respuestaAbandonada(bytes, hasta); }

protected:
    QString descripcion() const override { return p_->descripcionError(); }

private:
    PuertoSerie *p_;
};

// One attempt over a connection of its own, closed whatever the outcome.
class LineaTcp final : public LineaEnlace {
public:
    LineaTcp(SocketTcp *socket, const QString &ip, qint32 puerto, float timeout, const Cancelacion *c)
        : LineaEnlace(1, false, c), s_(socket), ip_(ip), puerto_(puerto), timeout_(timeout) {}
    ~LineaTcp() override { if (s_) s_->cerrar(); }

    Paso abrir() override
    {
        if (!s_)
            return Fin{6, errorDe(QStringLiteral("no hay ningún socket TCP asignado"))};
        if (!s_->conectado()) {
            s_->cerrar();
            if (puerto_ > 0 && puerto_ <= 65535)
                s_->conectar(ip_, quint16(puerto_), plazo(timeout_), cancelar);
        }
        if (cancelado())
            return Fin{6, kCancelada};
        if (!s_->conectado())
            return Fin{5, kSinConexion};
        return {};
    }
    bool enviar(const QByteArray &peticion) override { return s_->enviar(peticion); }
    int esperar(int cuantos, QDeadlineTimer limite) override { return s_->esperarEntrada(cuantos, limite, cancelar); }
    bool leer(QByteArray &r) override { r = s_->leerTodo(); return true; }
    // Only exactly the expected count is accepted; the checksum is not checked.
    Paso juzgar(const QByteArray &, const QByteArray &, int recibidos, qsizetype esperados) const override
    {
        return recibidos == esperados ? Paso() : Fin{4, kSinDatosIP};
    }

protected:
    QString descripcion() const override { return s_->descripcionError(); }

private:
    SocketTcp *s_;
    QString ip_;
    qint32 puerto_;
    float timeout_;
};

} // namespace

void ClassRS485::Send232()
{
    LineaSerie linea(MSComm, false, Reintentos, cancelar);
    intercambiar(linea);
}

void ClassRS485::Send485()
{
    LineaSerie linea(MSComm, true, Reintentos, cancelar);
    intercambiar(linea);
}

void ClassRS485::SendIP()
{
    LineaTcp linea(WinsockRef, RemoteIP, RemotePort, timeout, cancelar);
    intercambiar(linea);
}

void ClassRS485::intercambiar(LineaEnlace &linea)
{
    const auto terminar = [this](const LineaEnlace::Fin &fin) { fijar(fin.codigo, fin.texto); };
    if (const auto fin = linea.abrir())
        return terminar(*fin);
    QByteArray peticion;
    if (!prepararPeticion(peticion))
        return;
    const qsizetype q = peticion.size();
    // Echoed, the request comes back ahead of the answer.
    const qsizetype esperados = qsizetype(Longitud) + 2 - (linea.eco ? 0 : q);
    const auto acotar = [](qsizetype n, qsizetype minimo) { return int(std::clamp<qsizetype>(n, minimo, 1 << 20)); };

    for (int intento = 1; intento <= linea.intentos; ++intento) {
        if (const auto fin = linea.preparar())
            return terminar(*fin);
        if (cancelado())
            return fijar(6, kCancelada);
        if (!linea.enviar(peticion))
            return terminar(linea.fallo());
        if (cancelado())
            return fijar(6, kCancelada);
        // The answer window starts once the request has left.
        const int recibidos = linea.esperar(acotar(esperados, -1), plazo(timeout));
        QByteArray r;
        if (recibidos < 0 || cancelado() || !linea.leer(r))
            return terminar(linea.fallo());

        if (const auto rechazo = linea.juzgar(peticion, r, recibidos, esperados)) {
            linea.abandonar(acotar(esperados - r.size(), 0), plazo(std::min(timeout, kTardanzaMaxima)));
            terminar(*rechazo);
            continue;
        }
        // After the echo the answer is kept whole, otherwise without its checksum.
        const qsizetype desde = linea.eco ? q : 0;
        if (!copiarRespuesta(r, desde, r.size() - desde - (linea.eco ? 0 : 1)))
            return fijar(6, errorDe(kNoCabe));
        return fijar(0, kOk);
    }
}
