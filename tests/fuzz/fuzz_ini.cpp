// config.ini reader and writer. The input is split at its first three 0x00
// bytes into: the file's bytes, a section, a key and a value (Windows-1252).
// The file is read, one key is written, and then: the key reads back as
// written (line breaks become spaces, cut to 254, empty reads as the default),
// every other line of the file is still there, and the program's own keys read
// as before unless they are the key written.

#include "comprobar.h"

#include "mod_ini.h"
#include "texto.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace MOD_ini;

namespace {

QString archivoTemporal()
{
    // In RAM where the machine has it: the fuzzer writes the file thousands of times a second.
    static QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/kalverostin-fuzz-ini-XXXXXX")
                                                       : QDir::tempPath() + QStringLiteral("/kalverostin-fuzz-ini-XXXXXX"));
    COMPROBAR(dir.isValid());
    return dir.filePath(QStringLiteral("config.ini"));
}

QByteArray leerArchivo(const QString &ruta)
{
    QFile f(ruta);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void escribirArchivo(const QString &ruta, const QByteArray &datos)
{
    QFile f(ruta);
    COMPROBAR(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    COMPROBAR(f.write(datos) == datos.size());
}

// Lines without their ends; a last line without a line end counts too.
QList<QByteArray> lineas(const QByteArray &datos)
{
    QList<QByteArray> salida = datos.split('\n');
    if (!salida.isEmpty() && salida.back().isEmpty())
        salida.removeLast();
    for (QByteArray &l : salida) // a stray '\r' before the line end means nothing to the reader
        while (l.endsWith('\r'))
            l.chop(1);
    return salida;
}

// A name the file format can hold on one line: no line breaks, a key without
// '=' that does not look like a section header, a section without ']'.
bool nombreUtil(const QString &nombre, bool esSeccion)
{
    const QByteArray b = aAnsi(nombre).trimmed();
    if (b.isEmpty() || b.contains('\n') || b.contains('\r'))
        return false;
    if (esSeccion)
        return !b.contains(']') && !b.contains('[');
    return !b.contains('=') && !b.startsWith('[') && aAnsi(nombre.trimmed()) == b;
}

struct Clave {
    QString seccion, clave, porDefecto;
};

const QList<Clave> &clavesPrograma()
{
    static const QList<Clave> claves = {
        {QStringLiteral("inicio"), QStringLiteral("autoarranque"), QStringLiteral("1")},
        {QStringLiteral("cambiohora"), QStringLiteral("hora1"), QString()},
        {QStringLiteral("cambiohora"), QStringLiteral("activada"), QStringLiteral("False")},
        {QStringLiteral("datos"), QStringLiteral("bd"), QStringLiteral("datos/zeb.db")},
        {QStringLiteral("comunicaciones"), QStringLiteral("timeout"), QStringLiteral("5")},
        {QStringLiteral("comunicaciones"), QStringLiteral("lectura"), QStringLiteral("1")},
        {QStringLiteral("Incidencias"), QStringLiteral("timeout"), QStringLiteral("0")},
    };
    return claves;
}

void comprobarLectura(const QString &v)
{
    COMPROBAR(v.size() <= 254);
    COMPROBAR(!v.contains(u'\n'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    const QByteArray entrada(reinterpret_cast<const char *>(datos), qsizetype(tamano));
    QList<QByteArray> partes = entrada.split('\0');
    while (partes.size() > 4) { // the value keeps any further zeros
        partes[3] += '\0' + partes[4];
        partes.removeAt(4);
    }
    const QByteArray contenido = partes.value(0);
    const QString seccion = partes.size() > 1 ? desdeAnsi(partes[1]) : QStringLiteral("comunicaciones");
    const QString clave = partes.size() > 2 ? desdeAnsi(partes[2]) : QStringLiteral("lectura");
    const QString valor = partes.size() > 3 ? desdeAnsi(partes[3]) : QStringLiteral("2");

    const QString ruta = archivoTemporal();
    escribirArchivo(ruta, contenido);

    QList<QString> antes;
    for (const Clave &c : clavesPrograma()) {
        antes << LeerIni(ruta, c.seccion, c.clave, c.porDefecto);
        comprobarLectura(antes.back());
    }
    comprobarLectura(LeerIni(ruta, seccion, clave, QStringLiteral("DEF")));

    const bool escrito = EscribirIni(ruta, seccion, clave, valor);
    const QByteArray despues = leerArchivo(ruta);
    if (seccion.trimmed().isEmpty() || clave.trimmed().isEmpty()) {
        COMPROBAR(!escrito && despues == contenido);
        return 0;
    }
    COMPROBAR(escrito);
    if (!nombreUtil(seccion, true) || !nombreUtil(clave, false))
        return 0;

    // What reading gives: the stored line's value without surrounding blanks or quotes.
    QByteArray guardado = aAnsi(valor);
    guardado.replace('\r', ' ').replace('\n', ' ');
    guardado = guardado.trimmed();
    if (guardado.size() >= 2 && guardado.startsWith('"') && guardado.endsWith('"'))
        guardado = guardado.mid(1, guardado.size() - 2);
    const QString esperado = guardado.isEmpty() ? QStringLiteral("DEF") : desdeAnsi(guardado).left(254);
    COMPROBAR(LeerIni(ruta, seccion, clave, QStringLiteral("DEF")) == esperado);

    // The file differs from before in one place: at most one line replaced
    // or removed, at most two lines (a section header and the key) added.
    const QList<QByteArray> viejas = lineas(contenido), nuevas = lineas(despues);
    qsizetype inicio = 0, fin = 0;
    while (inicio < viejas.size() && inicio < nuevas.size() && viejas[inicio] == nuevas[inicio])
        ++inicio;
    while (fin < viejas.size() - inicio && fin < nuevas.size() - inicio
           && viejas[viejas.size() - 1 - fin] == nuevas[nuevas.size() - 1 - fin])
        ++fin;
    COMPROBAR(viejas.size() - inicio - fin <= 1);
    COMPROBAR(nuevas.size() - inicio - fin <= 2);

    for (qsizetype i = 0; i < clavesPrograma().size(); ++i) {
        const Clave &c = clavesPrograma()[i];
        const bool mismaClave = c.seccion.compare(seccion.trimmed(), Qt::CaseInsensitive) == 0
                                && c.clave.compare(clave.trimmed(), Qt::CaseInsensitive) == 0;
        if (!mismaClave)
            COMPROBAR(LeerIni(ruta, c.seccion, c.clave, c.porDefecto) == antes[i]);
    }
    return 0;
}
