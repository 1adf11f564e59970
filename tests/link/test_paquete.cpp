// The packet rules and the serial attempt loop, on a scripted port. What a
// real port and terminal can show is tested in test_enlace_simulador.cpp.

#include "link/class_rs485.h"

#include <QtTest>
#include <utility>

Q_DECLARE_METATYPE(Datos)

namespace {

// Records every request written and delivers the answers a test prepares.
class PuertoFalso final : public PuertoSerie {
public:
    QList<QByteArray> escritos;
    QList<QByteArray> respuestas; // what arrives after each write; missing = silence
    bool eco = false;             // an RS-485 converter returns every byte sent
    bool fallarEscritura = false;
    int descartes = 0;
    int ultimaEspera = -1;        // the count the last wait asked for

    void cerrar() override {}
    bool abrir(int) override { return true; }
    bool estaAbierto() const override { return true; }
    bool descartarEntrada() override
    {
        entrada_.clear();
        ++descartes;
        return true;
    }
    bool escribir(const QByteArray &bytes) override
    {
        if (fallarEscritura)
            return false;
        escritos << bytes;
        entrada_ += (eco ? bytes : QByteArray()) + (respuestas.isEmpty() ? QByteArray() : respuestas.takeFirst());
        return true;
    }
    bool esperarSalidaVacia(const Cancelacion *) override { return true; }
    int esperarEntrada(int cuantos, QDeadlineTimer, const Cancelacion *) override
    {
        ultimaEspera = cuantos;
        return int(entrada_.size());
    }
    bool leerTodo(QByteArray &salida) override
    {
        salida = std::exchange(entrada_, {});
        return true;
    }
    QString descripcionError() const override { return QStringLiteral("fallo simulado del puerto"); }

private:
    QByteArray entrada_;
};

QByteArray hex(const char *h) { return QByteArray::fromHex(h); }

quint8 suma(const QByteArray &b, quint8 inicio = 0)
{
    for (char c : b)
        inicio = quint8(inicio + quint8(c));
    return inicio;
}

// An answer whose checksum continues the running sum of the request.
QByteArray respuestaValida(const QByteArray &peticion, const QByteArray &carga)
{
    return carga + char(suma(carga, suma(peticion)));
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
private slots:
    void cabecera_data()
    {
        QTest::addColumn<int>("direccion");
        QTest::addColumn<int>("codigo");
        QTest::addColumn<int>("longitud");
        QTest::addColumn<QByteArray>("datos");
        QTest::addColumn<QByteArray>("peticion");
        QTest::newRow("leer hora terminal 1") << 1 << 1 << 9 << QByteArray() << hex("01292a");
        QTest::newRow("longitud 40 invade el codigo") << 1 << 1 << 40 << QByteArray() << hex("014849");
        QTest::newRow("codigo 8 pierde bits") << 1 << 8 << 9 << QByteArray() << hex("01090a");
        QTest::newRow("checksum da la vuelta") << 255 << 4 << 19 << hex("ff") << hex("ff93ff91");
    }
    void cabecera()
    {
        QFETCH(int, direccion);
        QFETCH(int, codigo);
        QFETCH(int, longitud);
        QFETCH(QByteArray, datos);
        QFETCH(QByteArray, peticion);
        QCOMPARE(ClassRS485::construirPeticion(quint8(direccion), quint8(codigo), quint8(longitud), datos), peticion);
    }

    void datos_data()
    {
        QTest::addColumn<Datos>("datos");
        QTest::addColumn<int>("codigo"); // 4: sent to a silent port; 6: run-time fault; 7: incompatible
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("entero 300") << Datos::entero32(300) << 4 << hex("2c");
        QTest::newRow("entero16 -1") << Datos::entero16(-1) << 4 << hex("ff");
        QTest::newRow("texto 300") << Datos::texto("300") << 4 << hex("2c");
        QTest::newRow("texto mitad a par") << Datos::texto(" 3.5kg") << 4 << hex("04");
        QTest::newRow("texto vacio") << Datos() << 4 << QByteArray();
        QTest::newRow("nulo") << Datos::nulo() << 4 << QByteArray();
        QTest::newRow("variantes") << Datos::arregloVariantes({Datos::texto("&H1F"), Datos::entero16(7)}) << 4
                                   << hex("1f07");
        QTest::newRow("variantes mixtas")
            << Datos::arregloVariantes({Datos::flotante(2.5), Datos::booleano(true), Datos::vacio(), Datos::byte(9)})
            << 4 << hex("02000009");
        QTest::newRow("enteros16") << Datos::arregloEnteros16({-1, 256, 5}) << 4 << hex("ff0005");
        QTest::newRow("texto fuera de 32 bits") << Datos::texto("1e10") << 6 << QByteArray();
        QTest::newRow("arreglo desde 1") << Datos::arregloBytes(hex("0102"), 1) << 6 << QByteArray();
        QTest::newRow("fecha en variantes") << Datos::arregloVariantes({Datos::fecha({})}) << 6 << QByteArray();
        QTest::newRow("nulo en variantes") << Datos::arregloVariantes({Datos::nulo()}) << 6 << QByteArray();
        QTest::newRow("anidado") << Datos::arregloVariantes({Datos::arregloBytes(hex("01"))}) << 6 << QByteArray();
        QTest::newRow("flotante") << Datos::flotante(1.0) << 7 << QByteArray();
        QTest::newRow("fecha") << Datos::fecha({}) << 7 << QByteArray();
        QTest::newRow("booleano") << Datos::booleano(false) << 7 << QByteArray();
        QTest::newRow("otro") << Datos::otro() << 7 << QByteArray();
    }
    void datos()
    {
        QFETCH(Datos, datos);
        QFETCH(int, codigo);
        QFETCH(QByteArray, bytes);
        PuertoFalso puerto;
        ClassRS485 e = leerHora(&puerto);
        e.Reintentos = 1;
        e.datos = datos;
        e.Send232();
        e.Send232(); // what normalisation leaves in `datos` must give the same request again

        QCOMPARE(int(e.CodigoRespuesta), codigo);
        if (codigo == 4) {
            const QByteArray peticion = ClassRS485::construirPeticion(1, 1, 9, bytes);
            QCOMPARE(puerto.escritos, (QList<QByteArray>{peticion, peticion}));
            return;
        }
        QVERIFY(puerto.escritos.isEmpty());
        QCOMPARE(puerto.descartes, 0);
        if (codigo == 7)
            QCOMPARE(e.TextoRespuesta,
                     QStringLiteral("Error al definir las propiedades: el formato de los datos no es compatible."));
        else
            QVERIFY2(e.TextoRespuesta.startsWith("Error: ") && e.TextoRespuesta.size() > 7, qPrintable(e.TextoRespuesta));
    }

    void validacion_data()
    {
        QTest::addColumn<bool>("rs485");
        QTest::addColumn<QByteArray>("llegada");
        QTest::addColumn<int>("codigo");
        QTest::addColumn<QString>("texto");
        const QString checksum = "Error: no coincide checksum.";
        const QByteArray corta = respuestaValida(kLeerHora, kHora.left(6)); // one byte short, checksum right
        QTest::newRow("232 checksum de la respuesta sola") << false << kHora + char(suma(kHora)) << 3 << checksum;
        // The checksum is looked at before the length.
        QTest::newRow("232 corta sin checksum") << false << respuestaValida(kLeerHora, kHora).left(7) << 3 << checksum;
        QTest::newRow("232 corta") << false << corta << 2 << "Error: no coincide longitud";
        QTest::newRow("485 corta") << true << corta << 2 << "Error: no coincide longitud de ";
    }
    void validacion()
    {
        QFETCH(bool, rs485);
        QFETCH(QByteArray, llegada);
        QFETCH(int, codigo);
        QFETCH(QString, texto);
        PuertoFalso puerto;
        puerto.eco = rs485;
        puerto.respuestas = {llegada, llegada, llegada};
        ClassRS485 e = leerHora(&puerto);
        rs485 ? e.Send485() : e.Send232();

        QCOMPARE(int(e.CodigoRespuesta), codigo);
        QCOMPARE(e.TextoRespuesta, texto);
        // Every attempt clears the receive buffer, writes again and waits for the
        // echo and the answer (RS-485) or the answer alone (RS-232).
        QCOMPARE(puerto.escritos.size(), 3);
        QCOMPARE(puerto.descartes, 3);
        QCOMPARE(puerto.ultimaEspera, rs485 ? 11 : 8);
        QCOMPARE(e.Respuesta(), QByteArray(31, 0));
    }

    void sinIntentosNoEnviaNada()
    {
        PuertoFalso puerto;
        ClassRS485 e = leerHora(&puerto);
        e.Reintentos = 0;
        e.Send485(); // a fresh object keeps code 0 and no text
        QCOMPARE(e.CodigoRespuesta, quint8(0));
        QVERIFY(e.TextoRespuesta.isEmpty());
        e.Reintentos = 1;
        e.Send232(); // silent port: code 4, which the next call keeps
        e.Reintentos = 0;
        e.Send232();
        QCOMPARE(e.CodigoRespuesta, quint8(4));
        QCOMPARE(puerto.escritos.size(), 1);
    }

    void respuestaCortaConservaBytesAnteriores()
    {
        PuertoFalso puerto;
        ClassRS485 e;
        e.MSComm = &puerto;
        // One incident (sixteen payload bytes), then the clock (seven).
        e.codigo = 3;
        e.Longitud = 19;
        e.datos = Datos::entero16(0);
        puerto.respuestas << respuestaValida(ClassRS485::construirPeticion(1, 3, 19, hex("00")), QByteArray(16, '\xAA'));
        e.Send232();
        e.codigo = 1;
        e.Longitud = 9;
        e.datos = Datos();
        puerto.respuestas << respuestaValida(kLeerHora, kHora);
        e.Send232();

        QCOMPARE(e.CodigoRespuesta, quint8(0));
        QCOMPARE(e.Respuesta(), kHora + QByteArray(9, '\xAA') + QByteArray(15, 0));
    }

    void falloCortaElIntercambio_data()
    {
        QTest::addColumn<bool>("rs485");
        QTest::addColumn<int>("caso");
        QTest::newRow("232 escritura rechazada") << false << 0;
        QTest::newRow("485 sin puerto") << true << 1;
        QTest::newRow("232 respuesta mayor que el bufer") << false << 2;
        QTest::newRow("485 respuesta mayor que el bufer") << true << 2;
    }
    void falloCortaElIntercambio()
    {
        QFETCH(bool, rs485);
        QFETCH(int, caso);
        PuertoFalso puerto;
        puerto.eco = rs485;
        puerto.fallarEscritura = caso == 0;
        ClassRS485 e = leerHora(caso == 1 ? nullptr : &puerto);
        if (caso == 2) {
            e.Longitud = 60; // spills into the command bits; 59 answer bytes, checksum right
            puerto.respuestas << respuestaValida(ClassRS485::construirPeticion(1, 1, 60, {}), QByteArray(58, 0x11));
        }
        rs485 ? e.Send485() : e.Send232();

        QCOMPARE(e.CodigoRespuesta, quint8(6));
        QVERIFY2(e.TextoRespuesta.startsWith("Error: ") && e.TextoRespuesta.size() > 7, qPrintable(e.TextoRespuesta));
        QVERIFY(puerto.descartes <= 1); // no second attempt
        QCOMPARE(e.Respuesta(), QByteArray(31, 0));
    }
};

QTEST_GUILESS_MAIN(TestPaquete)
#include "test_paquete.moc"
