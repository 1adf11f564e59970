// config.ini reader and writer. The input is split at its first three 0x00
// bytes into: the file's bytes, a section, a key and a value (Windows-1252).
// The file is read, one key is written, and then a plain value reads back as
// written and every other line of the file is still there. How other values
// read (quotes, blanks, line breaks, length) is the unit tests' business.

#include "tests/fuzz/comprobar.h"

#include "common/texto.h"
#include "storage/mod_ini.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>

using namespace MOD_ini;

namespace {

// Lines without their ends; a stray '\r' before the line end means nothing to the reader.
QList<QByteArray> lineas(const QByteArray &datos)
{
    QList<QByteArray> salida = datos.split('\n');
    if (salida.back().isEmpty())
        salida.removeLast();
    for (QByteArray &l : salida)
        while (l.endsWith('\r'))
            l.chop(1);
    return salida;
}

// A name one line of the file holds as it is: no blanks at its ends, no line break, bracket or '='.
bool nombreUtil(const QString &nombre)
{
    const QByteArray b = aAnsi(nombre);
    return !b.isEmpty() && b == b.trimmed() && std::none_of(b.begin(), b.end(), [](char c) { return strchr("\r\n[]=", c); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano)
{
    const QByteArray entrada(reinterpret_cast<const char *>(datos), qsizetype(tamano));
    const QList<QByteArray> partes = entrada.split('\0');
    const QByteArray contenido = partes[0];
    const QString seccion = partes.size() > 1 ? desdeAnsi(partes[1]) : QStringLiteral("comunicaciones");
    const QString clave = partes.size() > 2 ? desdeAnsi(partes[2]) : QStringLiteral("lectura");
    // The value keeps any further zeros.
    const qsizetype inicioValor = partes.value(0).size() + partes.value(1).size() + partes.value(2).size() + 3;
    const QString valor = partes.size() > 3 ? desdeAnsi(entrada.mid(inicioValor)) : QStringLiteral("2");

    // In RAM where the machine has it: the fuzzer writes the file thousands of times a second.
    static QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/kalverostin-fuzz-ini-XXXXXX")
                                                       : QDir::tempPath() + QStringLiteral("/kalverostin-fuzz-ini-XXXXXX"));
    const QString ruta = dir.filePath(QStringLiteral("config.ini"));
    QFile f(ruta);
    COMPROBAR(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(contenido) == contenido.size());
    f.close();

    const QString leido = LeerIni(ruta, seccion, clave, QStringLiteral("DEF"));
    COMPROBAR(leido.size() <= 254 && !leido.contains(u'\n'));

    const bool escrito = EscribirIni(ruta, seccion, clave, valor);
    COMPROBAR(f.open(QIODevice::ReadOnly));
    const QByteArray despues = f.readAll();
    if (seccion.trimmed().isEmpty() || clave.trimmed().isEmpty()) {
        COMPROBAR(!escrito && despues == contenido);
        return 0;
    }
    COMPROBAR(escrito);
    if (!nombreUtil(seccion) || !nombreUtil(clave))
        return 0;

    const QByteArray plano = aAnsi(valor);
    if (!plano.isEmpty() && plano.size() <= 254 && plano == plano.trimmed() && !plano.contains('"')
        && !plano.contains('\n') && !plano.contains('\r'))
        COMPROBAR(LeerIni(ruta, seccion, clave, QStringLiteral("DEF")) == desdeAnsi(plano));

    // The file differs from before in one place: at most one line replaced
    // or removed, at most two lines (a section header and the key) added.
    const QList<QByteArray> viejas = lineas(contenido), nuevas = lineas(despues);
    qsizetype inicio = 0, fin = 0;
    while (inicio < viejas.size() && inicio < nuevas.size() && viejas[inicio] == nuevas[inicio])
        ++inicio;
    while (fin < viejas.size() - inicio && fin < nuevas.size() - inicio
           && viejas[viejas.size() - 1 - fin] == nuevas[nuevas.size() - 1 - fin])
        ++fin;
    COMPROBAR(viejas.size() - inicio - fin <= 1 && nuevas.size() - inicio - fin <= 2);
    return 0;
}
