// The packet rules and the serial attempt loop, on the scripted fakes.

#include "class_rs485.h"
#include "falsos.h"

#include <QtTest>
#include <thread>

Q_DECLARE_METATYPE(Datos)

namespace {

const QString kOk = QStringLiteral("OK, paquete recibido.");
const QString kCodigo7 = QStringLiteral("Error al definir las propiedades: el formato de los datos no es compatible.");
const QString kSinEco = QStringLiteral(
    "Error: timeout, no se recibe el eco (revise las conexiones y la configuración del conversor RS232/RS485).");

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

const QByteArray kLeerHora = hex("01292A"); // terminal 1, codigo 1, Longitud 9, no data
const QByteArray kHora = hex("2359100612243f"); // seven payload bytes

ClassRS485 enlaceLeerHora(PuertoSerie *puerto)
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
    void normalizar_data();
    void normalizar();
    void cabecera_data();
    void cabecera();
    void lecturaCorrecta_data();
    void lecturaCorrecta();
    void validacion_data();
    void validacion();
    void terminalSilenciosoRepiteIntentos();
    void sinIntentosNoEnviaNada();
    void respuestaCortaConservaBytesAnteriores();
    void respuestaDemasiadoLarga_data();
    void respuestaDemasiadoLarga();
    void datosNoCompatibles_data();
    void datosNoCompatibles();
    void fallosDeEjecucion_data();
    void fallosDeEjecucion();
    void reutilizarObjetoRepitePeticion_data();
    void reutilizarObjetoRepitePeticion();
    void cancelacionTerminaEspera();
    void sendIpSobreFalso();
};

void TestPaquete::normalizar_data()
{
    QTest::addColumn<Datos>("datos");
    QTest::addColumn<int>("resultado"); // 0 bytes, 6 fault, 7 incompatible
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("entero 300") << Datos::entero32(300) << 0 << hex("2c");
    QTest::newRow("entero16 -1") << Datos::entero16(-1) << 0 << hex("ff");
    QTest::newRow("entero32 minimo") << Datos::entero32(std::numeric_limits<qint32>::min()) << 0 << hex("00");
    QTest::newRow("byte") << Datos::byte(200) << 0 << hex("c8");
    QTest::newRow("texto 12") << Datos::texto("12") << 0 << hex("0c");
    QTest::newRow("texto -1") << Datos::texto("-1") << 0 << hex("ff");
    QTest::newRow("texto 300") << Datos::texto("300") << 0 << hex("2c");
    QTest::newRow("texto hexadecimal") << Datos::texto("&H1F") << 0 << hex("1f");
    QTest::newRow("texto mitad a par") << Datos::texto("2.5") << 0 << hex("02");
    QTest::newRow("texto mitad a par 3.5") << Datos::texto(" 3.5kg") << 0 << hex("04");
    QTest::newRow("texto sin numero") << Datos::texto("abc") << 0 << hex("00");
    QTest::newRow("texto vacio") << Datos::texto("") << 0 << QByteArray();
    QTest::newRow("por defecto") << Datos() << 0 << QByteArray();
    QTest::newRow("vacio") << Datos::vacio() << 0 << QByteArray();
    QTest::newRow("nulo") << Datos::nulo() << 0 << QByteArray();
    QTest::newRow("variantes") << Datos::arregloVariantes({Datos::texto("&H1F"), Datos::entero16(7)}) << 0
                               << hex("1f07");
    QTest::newRow("variantes mixtas")
        << Datos::arregloVariantes({Datos::flotante(2.5), Datos::booleano(true), Datos::vacio(), Datos::byte(9)})
        << 0 << hex("02000009");
    QTest::newRow("enteros16") << Datos::arregloEnteros16({-1, 256, 5}) << 0 << hex("ff0005");
    QTest::newRow("bytes") << Datos::arregloBytes(hex("ff0011")) << 0 << hex("ff0011");
    QTest::newRow("texto fuera de 32 bits") << Datos::texto("1e10") << 6 << QByteArray();
    QTest::newRow("elemento fuera de 32 bits") << Datos::arregloVariantes({Datos::entero16(1), Datos::flotante(3e9)})
                                               << 6 << QByteArray();
    QTest::newRow("arreglo desde 1") << Datos::arregloBytes(hex("0102"), 1) << 6 << QByteArray();
    QTest::newRow("variantes desde 1") << Datos::arregloVariantes({Datos::byte(1)}, 1) << 6 << QByteArray();
    QTest::newRow("fecha en variantes")
        << Datos::arregloVariantes({Datos::fecha(QDateTime(QDate(2024, 1, 2), QTime(3, 4)))}) << 6 << QByteArray();
    QTest::newRow("arreglo anidado") << Datos::arregloVariantes({Datos::arregloBytes(hex("01"))}) << 6
                                     << QByteArray();
    QTest::newRow("nulo en variantes") << Datos::arregloVariantes({Datos::nulo()}) << 6 << QByteArray();
    QTest::newRow("flotante") << Datos::flotante(1.0) << 7 << QByteArray();
    QTest::newRow("fecha") << Datos::fecha(QDateTime::currentDateTime()) << 7 << QByteArray();
    QTest::newRow("booleano") << Datos::booleano(false) << 7 << QByteArray();
    QTest::newRow("otro") << Datos::otro() << 7 << QByteArray();
}

void TestPaquete::normalizar()
{
    QFETCH(Datos, datos);
    QFETCH(int, resultado);
    QFETCH(QByteArray, bytes);

    const auto n = datos.normalizar();
    QCOMPARE(n.compatible, resultado != 7);
    QCOMPARE(!n.fallo.isEmpty(), resultado == 6);
    QCOMPARE(n.bytes, bytes);
}

void TestPaquete::cabecera_data()
{
    QTest::addColumn<int>("direccion");
    QTest::addColumn<int>("codigo");
    QTest::addColumn<int>("longitud");
    QTest::addColumn<QByteArray>("datos");
    QTest::addColumn<QByteArray>("peticion");

    QTest::newRow("leer hora terminal 1") << 1 << 1 << 9 << QByteArray() << hex("01292a");
    QTest::newRow("longitud 40 invade el codigo") << 1 << 1 << 40 << QByteArray() << hex("014849");
    QTest::newRow("punteros") << 5 << 7 << 17 << hex("03") << hex("05f103f9");
    QTest::newRow("codigo 8 pierde bits") << 1 << 8 << 9 << QByteArray() << hex("01090a");
    QTest::newRow("direccion 255") << 255 << 4 << 19 << hex("ff") << hex("ff93ff91");
}

void TestPaquete::cabecera()
{
    QFETCH(int, direccion);
    QFETCH(int, codigo);
    QFETCH(int, longitud);
    QFETCH(QByteArray, datos);
    QFETCH(QByteArray, peticion);
    QCOMPARE(ClassRS485::construirPeticion(quint8(direccion), quint8(codigo), quint8(longitud), datos), peticion);
}

void TestPaquete::lecturaCorrecta_data()
{
    QTest::addColumn<bool>("rs485");
    QTest::newRow("RS-232") << false;
    QTest::newRow("RS-485 con eco") << true;
}

void TestPaquete::lecturaCorrecta()
{
    QFETCH(bool, rs485);
    PuertoFalso puerto;
    puerto.eco = rs485;
    const QByteArray respuesta = respuestaValida(kLeerHora, kHora);
    puerto.respuestas << respuesta;

    ClassRS485 e = enlaceLeerHora(&puerto);
    rs485 ? e.Send485() : e.Send232();

    QCOMPARE(puerto.escritos, QList<QByteArray>{kLeerHora});
    QCOMPARE(puerto.ultimaEspera, rs485 ? 11 : 8);
    QCOMPARE(e.CodigoRespuesta, quint8(0));
    QCOMPARE(e.TextoRespuesta, kOk);
    const QByteArray r = e.Respuesta();
    QCOMPARE(r.size(), 31);
    QCOMPARE(r.left(7), kHora);
    // RS-485 copies the answer checksum too; RS-232 only the payload.
    QCOMPARE(quint8(r[7]), rs485 ? quint8(respuesta.back()) : quint8(0));
    QCOMPARE(r.mid(8), QByteArray(23, 0));
}

void TestPaquete::validacion_data()
{
    QTest::addColumn<bool>("rs485");
    QTest::addColumn<bool>("eco");
    QTest::addColumn<QByteArray>("llegada");
    QTest::addColumn<int>("codigo");
    QTest::addColumn<QString>("texto");

    const QByteArray buena = respuestaValida(kLeerHora, kHora);
    const QByteArray soloPropia = kHora + char(suma(kHora)); // checksum of the answer alone
    const QByteArray corta = respuestaValida(kLeerHora, kHora.left(6));
    const QString longitud232 = "Error: no coincide longitud";
    const QString longitud485 = "Error: no coincide longitud de ";
    const QString checksum = "Error: no coincide checksum.";
    const QString soloEco = "Error: timeout, se ha sobrepasado el tiempo máximo para recibir la respuesta.";

    QTest::newRow("232 checksum no continuado") << false << false << soloPropia << 3 << checksum;
    QTest::newRow("232 un byte corto") << false << false << corta << 2 << longitud232;
    QTest::newRow("232 corto sin checksum") << false << false << buena.left(7) << 3 << checksum;
    QTest::newRow("232 byte de mas") << false << false << buena + char(0) << 3 << checksum;
    QTest::newRow("232 nada") << false << false << QByteArray() << 4 << kSinEco;
    QTest::newRow("232 tan largo como la peticion")
        << false << false << respuestaValida(kLeerHora, hex("0102")) << 1 << soloEco;
    QTest::newRow("485 solo eco") << true << true << QByteArray() << 1 << soloEco;
    QTest::newRow("485 un byte corto") << true << true << corta << 2 << longitud485;
    QTest::newRow("485 nada") << true << false << QByteArray() << 4 << kSinEco;
    QTest::newRow("485 conversor sin eco") << true << false << buena << 3 << checksum;
}

void TestPaquete::validacion()
{
    QFETCH(bool, rs485);
    QFETCH(bool, eco);
    QFETCH(QByteArray, llegada);
    QFETCH(int, codigo);
    QFETCH(QString, texto);

    PuertoFalso puerto;
    puerto.eco = eco;
    puerto.respuestas = {llegada, llegada, llegada};
    ClassRS485 e = enlaceLeerHora(&puerto);
    rs485 ? e.Send485() : e.Send232();

    QCOMPARE(int(e.CodigoRespuesta), codigo);
    QCOMPARE(e.TextoRespuesta, texto);
    QCOMPARE(puerto.escritos.size(), 3); // every failed attempt is repeated
    QCOMPARE(e.Respuesta(), QByteArray(31, 0));
}

void TestPaquete::terminalSilenciosoRepiteIntentos()
{
    PuertoFalso puerto;
    puerto.entrada = hex("aabbcc"); // stale bytes from an earlier exchange
    ClassRS485 e = enlaceLeerHora(&puerto);
    e.Send232();

    QCOMPARE(puerto.descartes, 3);
    QCOMPARE(puerto.escritos, (QList<QByteArray>{kLeerHora, kLeerHora, kLeerHora}));
    QCOMPARE(e.CodigoRespuesta, quint8(4));
    QCOMPARE(e.TextoRespuesta, kSinEco);

    // The second attempt succeeds: no third one.
    PuertoFalso otro;
    otro.respuestas = {QByteArray(), respuestaValida(kLeerHora, kHora)};
    ClassRS485 f = enlaceLeerHora(&otro);
    f.Send232();
    QCOMPARE(f.CodigoRespuesta, quint8(0));
    QCOMPARE(otro.escritos.size(), 2);
}

void TestPaquete::sinIntentosNoEnviaNada()
{
    PuertoFalso puerto;
    ClassRS485 e = enlaceLeerHora(&puerto);
    e.Send232(); // silent: code 4
    QCOMPARE(e.CodigoRespuesta, quint8(4));

    puerto.escritos.clear();
    e.Reintentos = 0;
    e.Send232();
    e.Send485();
    QVERIFY(puerto.escritos.isEmpty());
    QCOMPARE(e.CodigoRespuesta, quint8(4));
    QCOMPARE(e.TextoRespuesta, kSinEco);

    ClassRS485 nuevo = enlaceLeerHora(&puerto);
    nuevo.Reintentos = 0;
    nuevo.Send485();
    QCOMPARE(nuevo.CodigoRespuesta, quint8(0));
    QVERIFY(nuevo.TextoRespuesta.isEmpty());
}

void TestPaquete::respuestaCortaConservaBytesAnteriores()
{
    PuertoFalso puerto;
    ClassRS485 e;
    e.MSComm = &puerto;

    // Read one incident: sixteen payload bytes.
    e.codigo = 3;
    e.Longitud = 19;
    e.datos = Datos::entero16(0);
    const QByteArray pet1 = ClassRS485::construirPeticion(1, 3, 19, hex("00"));
    const QByteArray texto(16, char(0xAA));
    puerto.respuestas << respuestaValida(pet1, texto);
    e.Send232();
    QCOMPARE(e.CodigoRespuesta, quint8(0));

    // Then the clock: seven payload bytes overwrite only the start.
    e.codigo = 1;
    e.Longitud = 9;
    e.datos = Datos();
    puerto.respuestas << respuestaValida(kLeerHora, kHora);
    e.Send232();
    QCOMPARE(e.CodigoRespuesta, quint8(0));
    QCOMPARE(e.Respuesta().left(7), kHora);
    QCOMPARE(e.Respuesta().mid(7, 9), QByteArray(9, char(0xAA)));

    // A failed exchange writes nothing.
    const QByteArray antes = e.Respuesta();
    puerto.respuestas = {hex("0102"), hex("0102"), hex("0102")};
    e.Send232();
    QCOMPARE(e.CodigoRespuesta, quint8(3));
    QCOMPARE(e.Respuesta(), antes);
}

void TestPaquete::respuestaDemasiadoLarga_data()
{
    QTest::addColumn<bool>("rs485");
    QTest::newRow("RS-232") << false;
    QTest::newRow("RS-485") << true;
}

void TestPaquete::respuestaDemasiadoLarga()
{
    QFETCH(bool, rs485);
    PuertoFalso puerto;
    puerto.eco = rs485;
    ClassRS485 e;
    e.MSComm = &puerto;
    e.codigo = 1;
    e.Longitud = 60; // header spills, m = 59 answer bytes
    const QByteArray pet = ClassRS485::construirPeticion(1, 1, 60, {});
    const QByteArray respuesta = respuestaValida(pet, QByteArray(58, char(0x11)));
    // Over RS-485 the sum starts at 0 and covers the echo, so it is the same checksum.
    puerto.respuestas << respuesta;
    rs485 ? e.Send485() : e.Send232();

    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QVERIFY(e.TextoRespuesta.startsWith("Error: "));
    QCOMPARE(puerto.escritos.size(), 1);
    QCOMPARE(e.Respuesta(), QByteArray(31, 0));
}

void TestPaquete::datosNoCompatibles_data()
{
    QTest::addColumn<Datos>("datos");
    QTest::addColumn<bool>("rs485");
    QTest::newRow("flotante 232") << Datos::flotante(3.0) << false;
    QTest::newRow("fecha 485") << Datos::fecha(QDateTime::currentDateTime()) << true;
    QTest::newRow("booleano 232") << Datos::booleano(true) << false;
    QTest::newRow("otro 485") << Datos::otro() << true;
}

void TestPaquete::datosNoCompatibles()
{
    QFETCH(Datos, datos);
    QFETCH(bool, rs485);
    PuertoFalso puerto;
    ClassRS485 e = enlaceLeerHora(&puerto);
    e.datos = datos;
    rs485 ? e.Send485() : e.Send232();
    QCOMPARE(e.CodigoRespuesta, quint8(7));
    QCOMPARE(e.TextoRespuesta, kCodigo7);
    QVERIFY(puerto.escritos.isEmpty());
    QCOMPARE(puerto.descartes, 0);
}

void TestPaquete::fallosDeEjecucion_data()
{
    QTest::addColumn<int>("caso");
    QTest::addColumn<int>("escritos");
    QTest::newRow("puerto cerrado") << 0 << 0;
    QTest::newRow("escritura rechazada") << 1 << 0;
    QTest::newRow("elemento no convertible") << 2 << 0;
    QTest::newRow("sin puerto") << 3 << 0;
}

void TestPaquete::fallosDeEjecucion()
{
    QFETCH(int, caso);
    QFETCH(int, escritos);
    PuertoFalso puerto;
    puerto.respuestas << respuestaValida(kLeerHora, kHora);
    ClassRS485 e = enlaceLeerHora(&puerto);
    switch (caso) {
    case 0: puerto.abierto = false; break;
    case 1: puerto.fallarEscritura = true; break;
    case 2: e.datos = Datos::arregloBytes(hex("01"), 1); break;
    case 3: e.MSComm = nullptr; break;
    }
    e.Send485();
    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QVERIFY(e.TextoRespuesta.startsWith("Error: "));
    QVERIFY(e.TextoRespuesta.size() > 7);
    if (caso < 2)
        QCOMPARE(e.TextoRespuesta, QStringLiteral("Error: fallo simulado del puerto"));
    QCOMPARE(puerto.escritos.size(), escritos);
    QVERIFY(puerto.descartes <= 1); // no second attempt
}

void TestPaquete::reutilizarObjetoRepitePeticion_data()
{
    QTest::addColumn<Datos>("datos");
    QTest::addColumn<QByteArray>("peticion");
    QTest::newRow("texto vacio") << Datos() << hex("01292a");
    QTest::newRow("nulo") << Datos::nulo() << hex("01292a");
    QTest::newRow("entero 300") << Datos::entero32(300) << hex("01292c56");
}

void TestPaquete::reutilizarObjetoRepitePeticion()
{
    QFETCH(Datos, datos);
    QFETCH(QByteArray, peticion);
    PuertoFalso puerto;
    ClassRS485 e = enlaceLeerHora(&puerto);
    e.Reintentos = 1;
    e.datos = datos;
    e.Send232();
    e.Send232();
    QCOMPARE(puerto.escritos, (QList<QByteArray>{peticion, peticion}));
}

void TestPaquete::cancelacionTerminaEspera()
{
    PuertoFalso puerto;
    puerto.bloquear = true;
    Cancelacion cancelar{false};
    ClassRS485 e = enlaceLeerHora(&puerto);
    e.timeout = 100000.0f;
    e.cancelar = &cancelar;

    std::thread cierre([&] {
        QThread::msleep(50);
        cancelar = true;
    });
    e.Send232();
    cierre.join();

    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QVERIFY(e.TextoRespuesta.contains("cancelada"));
    QCOMPARE(puerto.escritos.size(), 1);
}

void TestPaquete::sendIpSobreFalso()
{
    // More bytes waiting at the read than the buffer holds, though the count matched.
    SocketFalso s;
    ClassRS485 e;
    e.WinsockRef = &s;
    e.RemoteIP = "192.0.2.1";
    e.RemotePort = 10001;
    e.codigo = 1;
    e.Longitud = 9;
    e.Reintentos = 0; // ignored over TCP
    s.cuentaVista = 8;
    s.alLeer = QByteArray(40, char(1));
    e.SendIP();
    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QCOMPARE(s.enviados, QList<QByteArray>{kLeerHora});
    QVERIFY(!s.abierto);

    // An element that cannot be converted: code 6 as on the serial links, socket closed.
    SocketFalso s2;
    e.WinsockRef = &s2;
    e.datos = Datos::arregloVariantes({Datos::arregloBytes(hex("01"))});
    e.SendIP();
    QCOMPARE(e.CodigoRespuesta, quint8(6));
    QCOMPARE(s2.conexiones, 1);
    QVERIFY(s2.enviados.isEmpty());
    QVERIFY(!s2.abierto);

    // Refused connection: code 5, nothing sent, datos not looked at.
    SocketFalso s3;
    s3.aceptar = false;
    e.WinsockRef = &s3;
    e.datos = Datos::fecha(QDateTime::currentDateTime());
    e.SendIP();
    QCOMPARE(e.CodigoRespuesta, quint8(5));
    QCOMPARE(e.TextoRespuesta, QStringLiteral("Error: no se puede conectar con el equipo remoto."));
    QVERIFY(s3.enviados.isEmpty());
}

QTEST_GUILESS_MAIN(TestPaquete)
#include "test_paquete.moc"
