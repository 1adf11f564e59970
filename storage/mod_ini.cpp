#include "mod_ini.h"

#include "archivos.h"

#include "texto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace MOD_ini {

namespace {

QString directorioFijado;

// The platform's reader copies at most 254 characters into its 255-character buffer.
constexpr qsizetype kLargoMaximo = 254;

struct Linea {
    qsizetype finTexto; // where the text ends, before "\r\n" or "\n"
    qsizetype fin;      // after the line end
};

// Calls f(Linea, text) for every line until f returns false; CRLF and LF both end a line.
template <typename F>
void recorrerLineas(const QByteArray &datos, F &&f)
{
    qsizetype inicio = 0;
    while (inicio < datos.size()) {
        const qsizetype nl = datos.indexOf('\n', inicio);
        const qsizetype fin = nl < 0 ? datos.size() : nl + 1;
        qsizetype finTexto = nl < 0 ? datos.size() : nl;
        if (finTexto > inicio && datos[finTexto - 1] == '\r')
            --finTexto;
        if (!f(Linea{finTexto, fin}, QByteArrayView(datos).sliced(inicio, finTexto - inicio)))
            return;
        inicio = fin;
    }
}

enum class Clase { Otra, Seccion, Clave };
struct Analisis {
    Clase clase = Clase::Otra;
    QByteArrayView nombre;
    QByteArrayView valor;
};

Analisis analizar(QByteArrayView linea)
{
    const QByteArrayView t = linea.trimmed();
    if (t.startsWith('[')) {
        // A header without ']' is named by the rest of its line.
        const qsizetype cierre = t.lastIndexOf(']');
        return {Clase::Seccion, (cierre > 0 ? t.sliced(1, cierre - 1) : t.sliced(1)).trimmed(), {}};
    }
    const qsizetype igual = t.indexOf('=');
    if (igual <= 0)
        return {};
    return {Clase::Clave, t.first(igual).trimmed(), t.sliced(igual + 1).trimmed()};
}

bool mismoNombre(QByteArrayView enArchivo, const QString &buscado)
{
    // One byte is one character in Windows-1252: compare sizes before decoding.
    return enArchivo.size() == buscado.size() && desdeAnsi(enArchivo).compare(buscado, Qt::CaseInsensitive) == 0;
}

QByteArrayView sinComillas(QByteArrayView v)
{
    return v.size() >= 2 && v.startsWith('"') && v.endsWith('"') ? v.sliced(1, v.size() - 2) : v;
}

} // namespace

QString LeerIni(const QString &archivo, const QString &seccion, const QString &clave, const QString &porDefecto)
{
    const QString s = seccion.trimmed(), k = clave.trimmed();
    QString valor;
    QFile f(archivo);
    if (!s.isEmpty() && !k.isEmpty() && f.open(QIODevice::ReadOnly)) {
        const QByteArray datos = f.readAll();
        bool enSeccion = false;
        recorrerLineas(datos, [&](const Linea &, QByteArrayView texto) {
            const Analisis a = analizar(texto);
            if (a.clase == Clase::Seccion) {
                enSeccion = mismoNombre(a.nombre, s);
            } else if (enSeccion && a.clase == Clase::Clave && mismoNombre(a.nombre, k)) {
                valor = desdeAnsi(sinComillas(a.valor));
                return false;
            }
            return true;
        });
    }
    if (valor.isEmpty())
        valor = porDefecto;
    return valor.left(kLargoMaximo);
}

bool EscribirIni(const QString &archivo, const QString &seccion, const QString &clave, const QString &texto)
{
    const QString s = seccion.trimmed(), k = clave.trimmed();
    if (s.isEmpty() || k.isEmpty())
        return false;

    QByteArray datos;
    if (QFile f(archivo); f.exists()) {
        // A file that exists but cannot be read is left alone rather than replaced.
        if (!f.open(QIODevice::ReadOnly))
            return false;
        datos = f.readAll();
    }
    const qsizetype primerSalto = datos.indexOf('\n');
    const QByteArray salto = primerSalto > 0 && datos[primerSalto - 1] != '\r' ? "\n" : "\r\n";
    // A line break inside the value would start a new line of the file.
    QString valor = texto;
    valor.replace(u'\r', u' ').replace(u'\n', u' ');
    const QByteArray lineaClave = aAnsi(k) + '=' + aAnsi(valor);

    // Replace the first occurrence of the key in a section of that name; else
    // add it after the last key line of the first such section.
    bool enSeccion = false, enPrimera = false, hecho = false;
    qsizetype inicio = 0, insertarEn = -1;
    bool insertarSinSalto = false; // the insertion point is a last line without its line end
    recorrerLineas(datos, [&](const Linea &l, QByteArrayView t) {
        const Analisis a = analizar(t);
        if (a.clase == Clase::Seccion) {
            enSeccion = mismoNombre(a.nombre, s);
            enPrimera = enSeccion && insertarEn < 0;
        } else if (enSeccion && a.clase == Clase::Clave && mismoNombre(a.nombre, k)) {
            datos.replace(inicio, l.finTexto - inicio, lineaClave);
            hecho = true;
            return false;
        }
        if (enPrimera && a.clase != Clase::Otra) {
            insertarEn = l.fin;
            insertarSinSalto = l.fin == 0 || datos[l.fin - 1] != '\n'; // a lone CR is no line end
        }
        inicio = l.fin;
        return true;
    });
    if (!hecho) {
        if (insertarEn >= 0) {
            datos.insert(insertarEn, insertarSinSalto ? salto + lineaClave : lineaClave + salto);
        } else {
            if (!datos.isEmpty() && !datos.endsWith('\n'))
                datos += salto;
            datos += '[' + aAnsi(s) + ']' + salto + lineaClave + salto;
        }
    }

    const bool nuevo = !QFileInfo::exists(archivo);
    QSaveFile salida(archivo);
    if (!salida.open(QIODevice::WriteOnly))
        return false;
    // A new file is writable by its owner only, whatever the umask: it names the database.
    if (nuevo)
        salida.setPermissions(kPermisosArchivo);
    return salida.write(datos) == datos.size() && salida.commit();
}

QString DirectorioPrograma()
{
    return directorioFijado.isEmpty() ? QCoreApplication::applicationDirPath() : directorioFijado;
}

void FijarDirectorioPrograma(const QString &directorio) { directorioFijado = directorio; }

QString RutaConfig()
{
    const QString programa = DirectorioPrograma();
    const QFileInfo info(programa);
    if (info.isDir() && info.isWritable())
        return programa + QStringLiteral("/config.ini");
    const QString propio = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(propio);
    return propio + QStringLiteral("/config.ini");
}

} // namespace MOD_ini
