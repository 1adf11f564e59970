// The link's answer validation. The first bytes choose the transport and the
// link fields, the rest arrives as the terminal's answer on every attempt.
// The result is checked against the packet rules: the code and its text, the
// request on the wire, and the 31-byte response buffer, which only a correct
// answer writes into.
//
// Layout: [0] transport (mod 3: RS-232, RS-485, TCP) and command code (div 3)
//         [1] Longitud  [2] Direccion
//         [3] bits 0-1 Reintentos, bit 2 the converter echoes, bit 3 transport fault,
//             bits 4-5 kind of datos, bit 6 TCP: the last byte arrives after the wait,
//             bit 7 a second exchange on the same object
//         [4] number of data bytes (mod 32), then those bytes, then the answer.

#include "comprobar.h"

#include "class_rs485.h"
#include "texto.h"

#include <QList>
#include <array>

namespace {

const QString kOk = QStringLiteral("OK, paquete recibido.");

class PuertoFuzz final : public PuertoSerie {
public:
    QByteArray respuesta; // what the terminal sends after every request
    bool eco = false;
    bool fallarLectura = false;
    QList<QByteArray> escritos;
    QByteArray entrada;

    void cerrar() override {}
    bool abrir(int) override { return true; }
    bool estaAbierto() const override { return true; }
    bool descartarEntrada() override
    {
        entrada.clear();
        return true;
    }
    bool escribir(const QByteArray &bytes) override
    {
        escritos << bytes;
        if (eco)
            entrada += bytes;
        entrada += respuesta;
        return true;
    }
    bool esperarSalidaVacia(const Cancelacion *) override { return true; }
    int esperarEntrada(int, QDeadlineTimer, const Cancelacion *) override { return int(entrada.size()); }
    bool leerTodo(QByteArray &salida) override
    {
        if (fallarLectura)
            return false;
        salida = entrada;
        entrada.clear();
        return true;
    }
    QString descripcionError() const override { return QStringLiteral("fallo del puerto"); }
};

class SocketFuzz final : public SocketTcp {
public:
    QByteArray respuesta;
    bool rechazar = false;
    bool ultimoTarde = false; // the last byte is not yet there when the wait ends
    bool abierto = false;
    int cierres = 0;
    QList<QByteArray> enviados;

    bool conectar(const QString &, quint16, QDeadlineTimer, const Cancelacion *) override
    {
        abierto = !rechazar;
        return abierto;
    }
    bool conectado() const override { return abierto; }
    void cerrar() override
    {
        abierto = false;
        ++cierres;
    }
    bool enviar(const QByteArray &bytes) override
    {
        COMPROBAR(abierto);
        enviados << bytes;
        return true;
    }
    int esperarEntrada(int, QDeadlineTimer, const Cancelacion *) override
    {
        return int(respuesta.size()) - (ultimoTarde && !respuesta.isEmpty() ? 1 : 0);
    }
    QByteArray leerTodo() override { return respuesta; }
    QString descripcionError() const override { return QStringLiteral("fallo del socket"); }
};

quint8 suma(QByteArrayView b, qsizetype hasta, quint8 inicio = 0)
{
    for (qsizetype i = 0; i < hasta; ++i)
        inicio = quint8(inicio + quint8(b[i]));
    return inicio;
}

const QString &textoEsperado(quint8 codigo, int transporte)
{
    static const std::array<QString, 8> textos = {
        kOk,
        QStringLiteral("Error: timeout, se ha sobrepasado el tiempo máximo para recibir la respuesta."),
        QString(),
        QStringLiteral("Error: no coincide checksum."),
        QString(),
        QStringLiteral("Error: no se puede conectar con el equipo remoto."),
        QString(),
        QStringLiteral("Error al definir las propiedades: el formato de los datos no es compatible."),
    };
    static const QString longitud232 = QStringLiteral("Error: no coincide longitud");
    static const QString longitud485 = QStringLiteral("Error: no coincide longitud de ");
    static const QString sinEco = QStringLiteral(
        "Error: timeout, no se recibe el eco (revise las conexiones y la configuración del conversor RS232/RS485).");
    static const QString sinDatos = QStringLiteral("Error: timeout, no se reciben datos");
    if (codigo == 2)
        return transporte == 1 ? longitud485 : longitud232;
    if (codigo == 4)
        return transporte == 2 ? sinDatos : sinEco;
    return textos[codigo];
}

struct Entrada {
    int transporte;
    quint8 codigo, longitud, direccion, reintentos;
    bool eco, fallo, ultimoTarde, dosVeces;
    int clase;
    QByteArray datos;
    QByteArray respuesta;
};

// One exchange, checked against the packet rules. `modelo` is the response
// buffer as it must be before and after.
void intercambio(const Entrada &e, ClassRS485 &enlace, std::array<quint8, 31> &modelo)
{
    PuertoFuzz puerto;
    SocketFuzz socket;
    puerto.respuesta = socket.respuesta = e.respuesta;
    puerto.eco = e.eco;
    puerto.fallarLectura = e.fallo;
    socket.rechazar = e.fallo;
    socket.ultimoTarde = e.ultimoTarde;

    enlace.Direccion = e.direccion;
    enlace.codigo = e.codigo;
    enlace.Longitud = e.longitud;
    enlace.Reintentos = e.reintentos;
    enlace.MSComm = &puerto;
    enlace.WinsockRef = &socket;
    enlace.RemoteIP = QStringLiteral("127.0.0.1");
    enlace.RemotePort = 10001;

    // The data bytes the request must carry, and whether the kind is accepted.
    QByteArray bytesDatos;
    bool compatible = true, falloDatos = false;
    switch (e.clase) {
    case 0:
        enlace.datos = Datos::arregloBytes(e.datos);
        bytesDatos = e.datos;
        break;
    case 1: {
        const QString t = desdeAnsi(e.datos);
        enlace.datos = Datos::texto(t);
        if (!t.isEmpty()) {
            const auto v = aEntero32(valorNumerico(t));
            if (v)
                bytesDatos.append(char(quint32(*v) & 0xFF));
            else
                falloDatos = true;
        }
        break;
    }
    case 2: {
        const qint16 v = qint16(e.datos.size() >= 2 ? (quint8(e.datos[0]) << 8 | quint8(e.datos[1])) : e.datos.size());
        enlace.datos = Datos::entero16(v);
        bytesDatos.append(char(v & 0xFF));
        break;
    }
    default:
        enlace.datos = e.datos.isEmpty() ? Datos::fecha(QDateTime()) : Datos::flotante(quint8(e.datos[0]) / 7.0);
        compatible = false;
        break;
    }

    const quint8 codigoAntes = enlace.CodigoRespuesta;
    const QString textoAntes = enlace.TextoRespuesta;

    if (e.transporte == 0)
        enlace.Send232();
    else if (e.transporte == 1)
        enlace.Send485();
    else
        enlace.SendIP();

    const quint8 c = enlace.CodigoRespuesta;
    COMPROBAR(c <= 7);
    if (c == 6)
        COMPROBAR(enlace.TextoRespuesta.startsWith(QStringLiteral("Error: ")) && enlace.TextoRespuesta.size() > 7);

    const QList<QByteArray> &escritos = e.transporte == 2 ? socket.enviados : puerto.escritos;
    const QByteArray peticion = QByteArray(1, char(e.direccion)) + char(quint8(e.codigo * 32 + e.longitud)) + bytesDatos;
    const qsizetype q = peticion.size() + 1;
    const quint8 cs = suma(peticion, peticion.size());
    for (const QByteArray &w : escritos)
        COMPROBAR(w == peticion + char(cs));

    // Which result the rules give; `fuente` holds the bytes a correct answer is copied from.
    int esperado = -1;
    QByteArray fuente;
    qsizetype copiarDesde = 0, copiar = 0;
    if (e.transporte == 2) {
        // The connection comes first, then the data.
        const qsizetype m = qsizetype(e.longitud) + 2 - q;
        const qsizetype visto = e.respuesta.size() - (e.ultimoTarde && !e.respuesta.isEmpty() ? 1 : 0);
        bool enviado = false;
        if (e.fallo)
            esperado = 5;
        else if (!compatible)
            esperado = 7;
        else if (falloDatos)
            esperado = 6;
        else {
            enviado = true;
            if (visto != m)
                esperado = 4;
            else if (e.respuesta.size() - 1 > 31)
                esperado = 6;
            else {
                esperado = 0;
                fuente = e.respuesta;
                copiar = e.respuesta.size() - 1;
            }
        }
        COMPROBAR(!socket.abierto && socket.cierres > 0);
        COMPROBAR(escritos.size() == (enviado ? 1 : 0));
    } else if (!compatible || falloDatos) {
        esperado = compatible ? 6 : 7;
        COMPROBAR(escritos.isEmpty());
    } else if (e.reintentos == 0) {
        COMPROBAR(escritos.isEmpty());
        COMPROBAR(c == codigoAntes && enlace.TextoRespuesta == textoAntes);
    } else {
        // Every attempt sees the same bytes, so the last attempt decides.
        const bool eco485 = e.transporte == 1;
        const QByteArray r = (e.eco ? peticion + char(cs) : QByteArray()) + e.respuesta;
        const qsizetype esperados = eco485 ? qsizetype(e.longitud) + 2 : qsizetype(e.longitud) + 2 - q;
        const qsizetype m = qsizetype(e.longitud) + 2 - q;
        if (e.fallo)
            esperado = 6;
        else if (r.isEmpty())
            esperado = 4;
        else if (quint8(r.back()) != suma(r, r.size() - 1, eco485 ? 0 : suma(peticion + char(cs), q)))
            esperado = 3;
        else if (r.size() == esperados) {
            fuente = r;
            copiarDesde = eco485 ? q : 0;
            copiar = eco485 ? m : m - 1;
            esperado = copiar > 31 ? 6 : 0;
        } else if (r.size() == q)
            esperado = 1;
        else
            esperado = 2;
        const qsizetype intentos = (esperado == 0 || esperado == 6) ? 1 : e.reintentos;
        COMPROBAR(escritos.size() == intentos);
    }
    if (esperado >= 0) {
        COMPROBAR(c == esperado);
        if (c != 6)
            COMPROBAR(enlace.TextoRespuesta == textoEsperado(c, e.transporte));
    }
    if (c == 0)
        for (qsizetype i = 0; i < copiar; ++i)
            modelo[size_t(i)] = quint8(fuente[copiarDesde + i]);

    const QByteArray buffer = enlace.Respuesta();
    COMPROBAR(buffer.size() == 31);
    for (int i = 0; i < 31; ++i)
        COMPROBAR(quint8(buffer[i]) == modelo[size_t(i)]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    Lector lector(datos, tamano);
    Entrada e{};
    const quint8 b0 = lector.byte();
    e.transporte = b0 % 3;
    e.codigo = quint8(b0 / 3);
    e.longitud = lector.byte();
    e.direccion = lector.byte();
    const quint8 marcas = lector.byte();
    e.reintentos = marcas & 3;
    e.eco = marcas & 4;
    e.fallo = marcas & 8;
    e.clase = (marcas >> 4) & 3;
    e.ultimoTarde = marcas & 64;
    e.dosVeces = marcas & 128;
    size_t n = lector.byte() % 32, tomados = 0;
    const uint8_t *p = lector.tomar(n, tomados);
    e.datos = QByteArray(reinterpret_cast<const char *>(p), qsizetype(tomados));
    p = lector.resto(tomados);
    e.respuesta = QByteArray(reinterpret_cast<const char *>(p), qsizetype(tomados));

    ClassRS485 enlace;
    std::array<quint8, 31> modelo{};
    intercambio(e, enlace, modelo);
    if (e.dosVeces) {
        // The same object again: the buffer keeps what it held where the new answer does not reach.
        e.respuesta.chop(e.respuesta.size() / 2);
        intercambio(e, enlace, modelo);
    }
    return 0;
}
