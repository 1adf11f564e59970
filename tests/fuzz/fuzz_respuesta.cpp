// The link's answer validation. The first bytes choose the transport and the
// link fields, the rest arrives as the terminal's answer on every attempt.
// Checked: nothing crashes, code 0 and only it reads OK, every request on the
// wire is one well-formed frame, only a well-formed answer is accepted, and
// only an accepted answer writes into the 31-byte response buffer, over the
// front of what it held.
//
// Layout: [0] transport (mod 3: RS-232, RS-485, TCP) and command code (div 3)
//         [1] Longitud  [2] Direccion
//         [3] bits 0-1 Reintentos, bit 2 the converter echoes, bit 3 transport fault,
//             bits 4-5 kind of datos, bit 6 TCP: the last byte arrives after the wait,
//             bit 7 a second exchange on the same object
//         [4] number of data bytes (mod 32), then those bytes, then the answer.

#include "tests/fuzz/comprobar.h"

#include "common/texto.h"
#include "link/class_rs485.h"
#include "tests/link/puerto_falso.h"

namespace {

using kora::suma;

class SocketFuzz final : public SocketTcp {
public:
    QByteArray respuesta;
    bool rechazar = false, ultimoTarde = false, abierto = false;
    QList<QByteArray> escritos;

    bool conectar(const QString &, quint16, QDeadlineTimer, const Cancelacion *) override
    {
        return abierto = !rechazar;
    }
    bool conectado() const override { return abierto; }
    void cerrar() override { abierto = false; }
    bool enviar(const QByteArray &b) override
    {
        COMPROBAR(abierto);
        escritos << b;
        return true;
    }
    int esperarEntrada(int, QDeadlineTimer, const Cancelacion *) override { return int(respuesta.size()) - tarde(); }
    bool tarde() const { return ultimoTarde && !respuesta.isEmpty(); } // the last byte is not there in time
    QByteArray leerTodo() override { return respuesta; }
    QString descripcionError() const override { return QStringLiteral("fallo del socket"); }
};

void intercambio(ClassRS485 &enlace, int transporte, quint8 marcas, const QByteArray &datos,
                 const QByteArray &respuesta)
{
    PuertoFalso puerto;
    SocketFuzz socket;
    puerto.respuestas = QList<QByteArray>(4, respuesta); // the same after every attempt
    socket.respuesta = respuesta;
    puerto.eco = marcas & 4;
    puerto.fallarLectura = socket.rechazar = marcas & 8;
    socket.ultimoTarde = marcas & 64;
    enlace.Reintentos = marcas & 3;
    enlace.MSComm = &puerto;
    enlace.WinsockRef = &socket;
    enlace.RemotePort = 10001;
    switch ((marcas >> 4) & 3) {
    case 0: enlace.datos = Datos::arregloBytes(datos); break;
    case 1: enlace.datos = Datos::texto(desdeAnsi(datos)); break;
    case 2: enlace.datos = Datos::entero16(qint16(byteEn(datos, 0) << 8 | byteEn(datos, 1))); break;
    default: enlace.datos = datos.isEmpty() ? Datos::fecha(QDateTime()) : Datos::flotante(byteEn(datos, 0) / 7.0);
    }

    const quint8 codigoAntes = enlace.CodigoRespuesta;
    const QString textoAntes = enlace.TextoRespuesta;
    const QByteArray antes = enlace.Respuesta();
    transporte == 0 ? enlace.Send232() : transporte == 1 ? enlace.Send485() : enlace.SendIP();
    const quint8 c = enlace.CodigoRespuesta;
    const QList<QByteArray> &escritos = transporte == 2 ? socket.escritos : puerto.escritos;
    COMPROBAR(transporte == 2 || escritos.size() <= enlace.Reintentos);
    if (transporte < 2 && enlace.Reintentos == 0 && c == codigoAntes && enlace.TextoRespuesta == textoAntes) {
        COMPROBAR(enlace.Respuesta() == antes); // no attempt and no refused data: nothing changes
        return;
    }
    COMPROBAR(c < 8 && (c == 0) == (enlace.TextoRespuesta == QStringLiteral("OK, paquete recibido.")));
    COMPROBAR(!socket.abierto); // one connection per exchange, closed whatever the outcome
    for (const QByteArray &w : escritos)
        COMPROBAR(w == escritos[0] && w.size() >= 3 && byteEn(w, 0) == enlace.Direccion
                  && byteEn(w, 1) == quint8(enlace.codigo * 32 + enlace.Longitud)
                  && byteEn(w, w.size() - 1) == suma(w.left(w.size() - 1)));

    const QByteArray buffer = enlace.Respuesta();
    COMPROBAR(buffer.size() == 31);
    if (c != 0) {
        COMPROBAR(buffer == antes);
        return;
    }
    // Accepted: one attempt; the frame adds up to Longitud + 2 and on a serial
    // line its checksum holds (RS-232: going on from the request's). What
    // follows the echo goes to the buffer, on RS-232 and TCP without the checksum.
    COMPROBAR(escritos.size() == 1);
    const QByteArray &p = escritos[0];
    const QByteArray recibido = (transporte < 2 && puerto.eco ? p : QByteArray()) + respuesta;
    COMPROBAR(recibido.size() - (transporte == 2 && socket.tarde()) + (transporte == 1 ? 0 : p.size())
              == enlace.Longitud + 2);
    COMPROBAR(transporte == 2 || byteEn(recibido, recibido.size() - 1)
                                     == suma(recibido.first(recibido.size() - 1), transporte == 0 ? suma(p) : 0));
    const QByteArray util = transporte == 1 ? recibido.mid(p.size()) : recibido.left(recibido.size() - 1);
    COMPROBAR(buffer == util + antes.mid(util.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    const QByteArray e(reinterpret_cast<const char *>(datos), qsizetype(tamano));
    ClassRS485 enlace;
    enlace.codigo = quint8(byteEn(e, 0) / 3 % 8); // a code above 7 fails an assertion
    enlace.Longitud = byteEn(e, 1);
    enlace.Direccion = byteEn(e, 2);
    const quint8 marcas = byteEn(e, 3);
    const qsizetype n = byteEn(e, 4) % 32;
    QByteArray respuesta = e.mid(5 + n);
    intercambio(enlace, byteEn(e, 0) % 3, marcas, e.mid(5, n), respuesta);
    if (marcas & 128) {
        // The same object again: the buffer keeps what it held where the new answer does not reach.
        respuesta.chop(respuesta.size() / 2);
        intercambio(enlace, byteEn(e, 0) % 3, marcas, e.mid(5, n), respuesta);
    }
    return 0;
}
