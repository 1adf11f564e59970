#include "link/datos.h"

#include "common/texto.h"

#include <QStringList>

namespace {

const QString kDesbordamiento = QStringLiteral("desbordamiento al convertir un dato en byte");
const QString kIndiceInicial = QStringLiteral("el arreglo de datos no empieza en el índice 0");
const QString kTipoElemento = QStringLiteral("un elemento del arreglo de datos no se puede convertir en byte");

// A text becomes its leading number, rounded halves-to-even to 32 bits; the
// byte is the low 8 bits of the two's-complement value.
bool byteDesdeTexto(const QString &texto, QByteArray &salida, QString &fallo)
{
    const auto entero = aEntero32(valorNumerico(texto));
    if (!entero) {
        fallo = kDesbordamiento;
        return false;
    }
    salida.append(char(quint32(*entero) & 0xFFu));
    return true;
}

} // namespace

Datos Datos::entero16(qint16 v)
{
    Datos d(Clase::Entero16);
    d.entero_ = v;
    return d;
}

Datos Datos::entero32(qint32 v)
{
    Datos d(Clase::Entero32);
    d.entero_ = v;
    return d;
}

Datos Datos::byte(quint8 v)
{
    Datos d(Clase::Byte);
    d.entero_ = v;
    return d;
}

Datos Datos::texto(const QString &t)
{
    Datos d(Clase::Texto);
    d.texto_ = t;
    return d;
}

Datos Datos::arregloEnteros16(const QVector<qint16> &v, int limiteInferior)
{
    Datos d(Clase::ArregloEnteros16);
    d.enteros_ = v;
    d.limiteInferior_ = limiteInferior;
    return d;
}

Datos Datos::arregloVariantes(const QList<Datos> &v, int limiteInferior)
{
    Datos d(Clase::ArregloVariantes);
    d.variantes_ = std::make_shared<QList<Datos>>(v);
    d.limiteInferior_ = limiteInferior;
    return d;
}

Datos Datos::arregloBytes(const QByteArray &v, int limiteInferior)
{
    Datos d(Clase::ArregloBytes);
    d.bytes_ = v;
    d.limiteInferior_ = limiteInferior;
    return d;
}

Datos Datos::flotante(double v)
{
    Datos d(Clase::Flotante);
    d.real_ = v;
    return d;
}

Datos Datos::fecha(const QDateTime &v)
{
    Datos d(Clase::Fecha);
    d.fecha_ = v;
    return d;
}

Datos Datos::booleano(bool v)
{
    Datos d(Clase::Booleano);
    d.entero_ = v ? 1 : 0;
    return d;
}

QString Datos::comoTexto() const
{
    switch (clase_) {
    case Clase::Entero16:
    case Clase::Entero32:
    case Clase::Byte:
        return QString::number(entero_);
    case Clase::Texto:
        return texto_;
    case Clase::Flotante:
        return QString::number(real_, 'g', 15);
    case Clase::Booleano:
        return entero_ ? QStringLiteral("Verdadero") : QStringLiteral("Falso");
    case Clase::Fecha:
        return fecha_.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
    default:
        return QString();
    }
}

Datos::Normalizado Datos::normalizar() const
{
    Normalizado r;
    switch (clase_) {
    case Clase::Vacio:
    case Clase::Nulo:
        break;
    case Clase::Texto:
        if (!texto_.isEmpty() && !byteDesdeTexto(texto_, r.bytes, r.fallo))
            r.bytes.clear();
        break;
    case Clase::Entero16:
    case Clase::Entero32:
    case Clase::Byte:
        r.bytes.append(char(quint64(entero_) & 0xFFu));
        break;
    case Clase::ArregloEnteros16:
    case Clase::ArregloBytes:
    case Clase::ArregloVariantes: {
        if (limiteInferior_ != 0) {
            r.fallo = kIndiceInicial;
            break;
        }
        // Every element goes through its text form, like a single string.
        QStringList textos;
        if (clase_ == Clase::ArregloEnteros16) {
            for (qint16 e : enteros_)
                textos << QString::number(e);
        } else if (clase_ == Clase::ArregloBytes) {
            for (char b : bytes_)
                textos << QString::number(quint8(b));
        } else if (variantes_) {
            for (const Datos &e : *variantes_) {
                switch (e.clase_) {
                case Clase::Vacio:
                case Clase::Entero16:
                case Clase::Entero32:
                case Clase::Byte:
                case Clase::Texto:
                case Clase::Flotante:
                case Clase::Booleano:
                    textos << e.comoTexto();
                    break;
                default: // null, dates, nested arrays, objects
                    r.fallo = kTipoElemento;
                    return r;
                }
            }
        }
        for (const QString &t : textos) {
            if (!byteDesdeTexto(t, r.bytes, r.fallo)) {
                r.bytes.clear();
                break;
            }
        }
        break;
    }
    case Clase::Flotante:
    case Clase::Fecha:
    case Clase::Booleano:
    case Clase::Otro:
        r.compatible = false;
        break;
    }
    return r;
}

Datos Datos::trasNormalizar(const QByteArray &bytes) const
{
    switch (clase_) {
    case Clase::Entero16:
    case Clase::Entero32:
    case Clase::Byte:
    case Clase::Texto:
        // A scalar is kept as the one-byte array it became. An empty value is
        // left as it was: turned into an array holding 0 it would add a data
        // byte to the request the next time the same object is used.
        if (!bytes.isEmpty())
            return arregloBytes(bytes);
        return *this;
    default:
        return *this;
    }
}
