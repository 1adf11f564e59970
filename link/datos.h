#pragma once
// The request data `datos` of the link object: a small tagged value that holds
// every kind a caller may hand over. Only some kinds can become data bytes;
// the others make the exchange end with code 7 before anything is sent.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVector>
#include <variant>
#include <memory>

class Datos {
public:
    enum class Clase {
        Vacio, Nulo, Entero16, Entero32, Byte, Texto,
        ArregloEnteros16, ArregloVariantes, ArregloBytes,
        Flotante, Fecha, Booleano, Otro
    };

    Datos() : Datos(Clase::Texto) {} // an empty string, as at creation

    static Datos vacio() { return Datos(Clase::Vacio); }
    static Datos nulo() { return Datos(Clase::Nulo); }
    static Datos entero16(qint16 v);
    static Datos entero32(qint32 v);
    static Datos byte(quint8 v);
    static Datos texto(const QString &t);
    static Datos arregloEnteros16(const QVector<qint16> &v, int limiteInferior = 0);
    static Datos arregloVariantes(const QList<Datos> &v, int limiteInferior = 0);
    static Datos arregloBytes(const QByteArray &v, int limiteInferior = 0);
    static Datos flotante(double v);
    static Datos fecha(const QDateTime &v);
    static Datos booleano(bool v);
    static Datos otro() { return Datos(Clase::Otro); }

    Clase clase() const { return clase_; }

    // Normalisation into data bytes: nullopt when the kind cannot become bytes
    // (code 7). `fallo` receives a description when an element cannot be
    // converted or an array does not start at index 0 (code 6 on serial links).
    struct Normalizado {
        bool compatible = true;   // false -> code 7
        QString fallo;            // non-empty -> run-time fault
        QByteArray bytes;
    };
    Normalizado normalizar() const;

    // The value `datos` holds after a successful normalisation of a scalar.
    Datos trasNormalizar(const QByteArray &bytes) const;

    // Text form of an element, as used when an array element is converted.
    QString comoTexto() const;

private:
    explicit Datos(Clase c) : clase_(c) {}
    Clase clase_;
    qint64 entero_ = 0;
    double real_ = 0;
    QString texto_;
    QDateTime fecha_;
    QVector<qint16> enteros_;
    QByteArray bytes_;
    std::shared_ptr<QList<Datos>> variantes_;
    int limiteInferior_ = 0;
};
