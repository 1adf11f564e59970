// The packet rules and the serial attempt loop, on a scripted port. What a
// real port and terminal can show is tested in test_enlace_simulador.cpp.

#include "link/class_rs485.h"
#include "tests/link/puerto_falso.h"

#include <QtTest>

Q_DECLARE_METATYPE(Datos)

namespace {

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

// An answer whose checksum continues the running sum of the request.
QByteArray respuestaValida(const QByteArray &peticion, const QByteArray &carga)
{
    return carga + char(kora::suma(carga, kora::suma(peticion)));
}

const QByteArray kLeerHora = hex("01292a"); // terminal 1, codigo 1, Longitud 9, no data
const QByteArray kHora = hex("2359100612243f");

ClassRS485 leerHora(PuertoSerie *puerto)
{
    ClassRS485 e;
    e.MSComm = puerto;
    e.codigo = 1;
    e.Longitud = 9;
    return e;
}

} // namespace

class TestPaquete : public QObject {
    Q_OBJECT
    // Rows of the tables below; moc takes no type among the slots.
    struct Envio { Datos datos; int codigo; QByteArray bytes; }; // codigo 4: sent to a silent port; 6: run-time fault; 7: incompatible
    // llegada: after every write; texto empty: any "Error: " text.
    struct Intercambio { bool rs485; int longitud; QByteArray llegada; int codigo; QString texto; int escritos; };
private slots:
    void datos_data()
    {
        QTest::addColumn<Envio>("f");
        QTest::newRow("entero 300") << Envio{Datos::entero32(300), 4, hex("2c")};
        QTest::newRow("entero16 -1") << Envio{Datos::entero16(-1), 4, hex("ff")};
        QTest::newRow("texto 300") << Envio{Datos::texto("300"), 4, hex("2c")};
        QTest::newRow("texto mitad a par") << Envio{Datos::texto(" 3.5kg"), 4, hex("04")};
        QTest::newRow("texto vacio") << Envio{Datos(), 4, QByteArray()};
        QTest::newRow("nulo") << Envio{Datos::nulo(), 4, QByteArray()};
        QTest::newRow("variantes") << Envio{Datos::arregloVariantes({Datos::texto("&H1F"), Datos::entero16(7)}), 4, hex("1f07")};
        QTest::newRow("variantes mixtas")
            << Envio{Datos::arregloVariantes({Datos::flotante(2.5), Datos::booleano(true), Datos::vacio(), Datos::byte(9)}), 4,
                     hex("02000009")};
        QTest::newRow("enteros16") << Envio{Datos::arregloEnteros16({-1, 256, 5}), 4, hex("ff0005")};
        QTest::newRow("texto fuera de 32 bits") << Envio{Datos::texto("1e10"), 6, QByteArray()};
        QTest::newRow("arreglo desde 1") << Envio{Datos::arregloBytes(hex("0102"), 1), 6, QByteArray()};
        QTest::newRow("fecha en variantes") << Envio{Datos::arregloVariantes({Datos::fecha({})}), 6, QByteArray()};
        QTest::newRow("nulo en variantes") << Envio{Datos::arregloVariantes({Datos::nulo()}), 6, QByteArray()};
        QTest::newRow("anidado") << Envio{Datos::arregloVariantes({Datos::arregloBytes(hex("01"))}), 6, QByteArray()};
        QTest::newRow("flotante") << Envio{Datos::flotante(1.0), 7, QByteArray()};
        QTest::newRow("fecha") << Envio{Datos::fecha({}), 7, QByteArray()};
        QTest::newRow("booleano") << Envio{Datos::booleano(false), 7, QByteArray()};
        QTest::newRow("otro") << Envio{Datos::otro(), 7, QByteArray()};
    }
    void datos()
    {
        QFETCH(Envio, f);
        PuertoFalso puerto;
        ClassRS485 e = leerHora(&puerto);
        e.Reintentos = 1;
        e.datos = f.datos;
        e.Send232();
        e.Send232(); // what normalisation leaves in `datos` must give the same request again

        QCOMPARE(int(e.CodigoRespuesta), f.codigo);
        if (f.codigo == 4) {
            const QByteArray peticion = ClassRS485::construirPeticion(1, 1, 9, f.bytes);
            QCOMPARE(puerto.escritos, (QList<QByteArray>{peticion, peticion}));
            return;
        }
        QVERIFY(puerto.escritos.isEmpty());
        QCOMPARE(puerto.descartes, 0);
        if (f.codigo == 7)
            QCOMPARE(e.TextoRespuesta,
                     QStringLiteral("Error al definir las propiedades: el formato de los datos no es compatible."));
        else
            QVERIFY2(e.TextoRespuesta.startsWith("Error: ") && e.TextoRespuesta.size() > 7, qPrintable(e.TextoRespuesta));
    }

    // How one exchange ends on the serial line. Rejected answers are given
    // every attempt (discard, write, wait for echo + answer); a fault stops at once.
    void intercambio_data()
    {
        QTest::addColumn<Intercambio>("f");
        const QString checksum = "Error: no coincide checksum.";
        const QByteArray corta = respuestaValida(kLeerHora, kHora.left(6)); // one byte short, checksum right
        QTest::newRow("232 checksum de la respuesta sola") << Intercambio{false, 9, kHora + char(kora::suma(kHora)), 3, checksum, 3};
        // The checksum is looked at before the length.
        QTest::newRow("232 corta sin checksum") << Intercambio{false, 9, respuestaValida(kLeerHora, kHora).left(7), 3, checksum, 3};
        QTest::newRow("232 corta") << Intercambio{false, 9, corta, 2, "Error: no coincide longitud", 3};
        QTest::newRow("485 corta") << Intercambio{true, 9, corta, 2, "Error: no coincide longitud de ", 3};
        QTest::newRow("232 escritura rechazada") << Intercambio{false, 9, QByteArray("-"), 6, QString(), 0};
        QTest::newRow("485 sin puerto") << Intercambio{true, -1, QByteArray(), 6, QString(), 0};
        // Longitud 60 spills into the command bits: 59 answer bytes, checksum right.
        const QByteArray grande = respuestaValida(ClassRS485::construirPeticion(1, 1, 60, {}), QByteArray(58, 0x11));
        QTest::newRow("232 respuesta mayor que el bufer") << Intercambio{false, 60, grande, 6, QString(), 1};
        QTest::newRow("485 respuesta mayor que el bufer") << Intercambio{true, 60, grande, 6, QString(), 1};
    }
    void intercambio()
    {
        QFETCH(Intercambio, f);
        PuertoFalso puerto;
        puerto.eco = f.rs485;
        puerto.fallarEscritura = f.llegada == "-";
        puerto.respuestas = {f.llegada, f.llegada, f.llegada};
        ClassRS485 e = leerHora(f.longitud < 0 ? nullptr : &puerto);
        e.Longitud = quint8(qMax(f.longitud, 9));
        f.rs485 ? e.Send485() : e.Send232();

        QCOMPARE(int(e.CodigoRespuesta), f.codigo);
        if (f.texto.isEmpty())
            QVERIFY2(e.TextoRespuesta.startsWith("Error: ") && e.TextoRespuesta.size() > 7, qPrintable(e.TextoRespuesta));
        else
            QCOMPARE(e.TextoRespuesta, f.texto);
        QCOMPARE(puerto.escritos.size(), f.escritos);
        QCOMPARE(puerto.descartes, qMax(f.escritos, f.longitud < 0 ? 0 : 1));
        if (f.codigo != 6)
            QCOMPARE(puerto.ultimaEspera, f.rs485 ? 11 : 8);
        QCOMPARE(e.Respuesta(), QByteArray(31, 0));
    }
};

QTEST_GUILESS_MAIN(TestPaquete)
#include "test_paquete.moc"
