#include "class_rs485.h"

#include <algorithm>
#include <chrono>
#include <cmath>

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

quint8 sumaModulo(const QByteArray &bytes, qsizetype hasta, quint8 inicio)
{
    quint8 suma = inicio;
    for (qsizetype i = 0; i < hasta; ++i)
        suma = quint8(suma + quint8(bytes[i]));
    return suma;
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
    p.append(char(quint8((int(codigo) * 32 + int(longitud)) % 256)));
    p.append(datos);
    p.append(char(sumaModulo(p, p.size(), 0)));
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

void ClassRS485::Send232() { enviarSerie(false); }
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

void ClassRS485::Send485() { enviarSerie(true); }

void ClassRS485::enviarSerie(bool conEco)
{
    QByteArray peticion;
    if (!prepararPeticion(peticion))
        return;
    const qsizetype q = peticion.size();
    const qsizetype m = qsizetype(Longitud) + 2 - q;
    // Over RS-485 the converter echoes the request ahead of the answer.
    const qsizetype esperados = conEco ? qsizetype(Longitud) + 2 : m;
    const quint8 sumaInicial = conEco ? 0 : sumaModulo(peticion, q, 0);

    auto falloPuerto = [this] {
        fijar(6, cancelado() ? kCancelada : errorDe(MSComm->descripcionError()));
    };

    for (int intento = 1; intento <= Reintentos; ++intento) {
        if (!MSComm) {
            fijar(6, errorDe(QStringLiteral("no hay ningún puerto serie asignado")));
            return;
        }
        // An answer given up on earlier must not pass for this request's.
        if (!MSComm->esperarLineaLibre(cancelar)) {
            falloPuerto();
            return;
        }
        if (cancelado()) {
            fijar(6, kCancelada);
            return;
        }
        if (!MSComm->descartarEntrada() || !MSComm->escribir(peticion)
            || !MSComm->esperarSalidaVacia(cancelar)) {
            falloPuerto();
            return;
        }
        if (cancelado()) {
            fijar(6, kCancelada);
            return;
        }

        // The answer window starts once the request has left the port.
        const int recibidos = MSComm->esperarEntrada(int(std::clamp<qsizetype>(esperados, -1, 1 << 20)),
                                                     plazo(timeout), cancelar);
        if (recibidos < 0) {
            falloPuerto();
            return;
        }
        if (cancelado()) {
            fijar(6, kCancelada);
            return;
        }
        QByteArray r;
        if (!MSComm->leerTodo(r)) {
            falloPuerto();
            return;
        }

        const bool sumaBien = !r.isEmpty() && quint8(r.back()) == sumaModulo(r, r.size() - 1, sumaInicial);
        if (sumaBien && r.size() == esperados) {
            const bool cabe = conEco ? copiarRespuesta(r, q, m) : copiarRespuesta(r, 0, m - 1);
            if (!cabe) {
                fijar(6, errorDe(kNoCabe));
                return;
            }
            fijar(0, kOk);
            return;
        }
        MSComm->respuestaAbandonada(int(std::clamp<qsizetype>(esperados - r.size(), 0, 1 << 20)),
                                    plazo(std::min(timeout, kTardanzaMaxima)));
        if (r.isEmpty())
            fijar(4, kSinEco);
        else if (!sumaBien)
            fijar(3, kChecksum);
        else if (r.size() == q)
            fijar(1, kSinRespuesta);
        else
            fijar(2, conEco ? kLongitud485 : kLongitud232);
    }
}

void ClassRS485::SendIP()
{
    if (!WinsockRef) {
        fijar(6, errorDe(QStringLiteral("no hay ningún socket TCP asignado")));
        return;
    }
    SocketTcp &socket = *WinsockRef;
    // One connection per exchange: closed whatever the outcome.
    struct Cierre {
        SocketTcp &s;
        ~Cierre() { s.cerrar(); }
    } cierre{socket};

    if (!socket.conectado()) {
        socket.cerrar();
        if (RemotePort > 0 && RemotePort <= 65535)
            socket.conectar(RemoteIP, quint16(RemotePort), plazo(timeout), cancelar);
    }
    if (cancelado()) {
        fijar(6, kCancelada);
        return;
    }
    if (!socket.conectado()) {
        fijar(5, kSinConexion);
        return;
    }

    QByteArray peticion;
    if (!prepararPeticion(peticion))
        return;
    const qsizetype m = qsizetype(Longitud) + 2 - peticion.size();

    if (!socket.enviar(peticion)) {
        fijar(6, errorDe(socket.descripcionError()));
        return;
    }
    const int recibidos = socket.esperarEntrada(int(std::clamp<qsizetype>(m, -1, 1 << 20)), plazo(timeout), cancelar);
    if (cancelado()) {
        fijar(6, kCancelada);
        return;
    }
    if (recibidos < 0) {
        fijar(6, errorDe(socket.descripcionError()));
        return;
    }
    // Only exactly the expected count is accepted; the checksum is not checked.
    if (recibidos != m) {
        fijar(4, kSinDatosIP);
        return;
    }
    const QByteArray r = socket.leerTodo();
    if (!copiarRespuesta(r, 0, r.size() - 1)) {
        fijar(6, errorDe(kNoCabe));
        return;
    }
    fijar(0, kOk);
}
