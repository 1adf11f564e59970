#include "storage/mod_ini.h"

#include "common/archivos.h"

#include "common/texto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <algorithm>
#include <optional>

namespace MOD_ini {

namespace {

QString directorioFijado;
bool soloLecturaFijado = false;

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
    // A UTF-8 byte order mark is no part of the first line (and stays in the file).
    qsizetype inicio = datos.startsWith("\xEF\xBB\xBF") ? 3 : 0;
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

QByteArrayView sinComillas(QByteArrayView v)
{
    return v.size() >= 2 && v.startsWith('"') && v.endsWith('"') ? v.sliced(1, v.size() - 2) : v;
}

// Windows-1252 unless the file is valid UTF-8 with some non-ASCII byte: a
// file edited with a UTF-8 editor is read as such, and written back so.
struct Codificacion {
    bool utf8 = false;

    explicit Codificacion(QByteArrayView datos)
    {
        if (std::all_of(datos.begin(), datos.end(), [](char c) { return uchar(c) < 0x80; }))
            return;
        QStringDecoder d(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString texto = d(datos); // the decoder runs when its result is taken
        utf8 = !d.hasError();
    }
    QString decodificar(QByteArrayView b) const { return utf8 ? QString::fromUtf8(b) : desdeAnsi(b); }
    QByteArray codificar(const QString &t) const { return utf8 ? t.toUtf8() : aAnsi(t); }
    bool mismoNombre(QByteArrayView enArchivo, const QString &buscado) const
    {
        // One byte is one character in Windows-1252: compare sizes before decoding.
        if (!utf8 && enArchivo.size() != buscado.size())
            return false;
        return decodificar(enArchivo).compare(buscado, Qt::CaseInsensitive) == 0;
    }
};

// The value of the key when the file holds it (possibly empty).
std::optional<QString> buscar(const QString &archivo, const QString &s, const QString &k)
{
    QFile f(archivo);
    if (s.isEmpty() || k.isEmpty() || !f.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray datos = f.readAll();
    const Codificacion cod(datos);
    std::optional<QString> valor;
    bool enSeccion = false;
    recorrerLineas(datos, [&](const Linea &, QByteArrayView texto) {
        const Analisis a = analizar(texto);
        if (a.clase == Clase::Seccion) {
            enSeccion = cod.mismoNombre(a.nombre, s);
        } else if (enSeccion && a.clase == Clase::Clave && cod.mismoNombre(a.nombre, k)) {
            valor = cod.decodificar(sinComillas(a.valor));
            return false;
        }
        return true;
    });
    return valor;
}

QString configPrograma() { return DirectorioPrograma() + QStringLiteral("/config.ini"); }

// An empty value reads as the default, as a missing key does.
QString comoLeido(const std::optional<QString> &valor, const QString &porDefecto, bool entero = false)
{
    const QString v = valor && !valor->isEmpty() ? *valor : porDefecto;
    return entero ? v : v.left(kLargoMaximo);
}

// The file's new bytes with the key set, names and value in cod.
QByteArray conClave(QByteArray datos, const Codificacion &cod, const QString &s, const QString &k, const QString &valor)
{
    const qsizetype primerSalto = datos.indexOf('\n');
    const QByteArray salto = primerSalto > 0 && datos[primerSalto - 1] != '\r' ? "\n" : "\r\n";
    const QByteArray lineaClave = cod.codificar(k) + '=' + cod.codificar(valor);

    // Replace the first occurrence of the key in a section of that name; else
    // add it after the last key line of the first such section.
    bool enSeccion = false, enPrimera = false, hecho = false;
    qsizetype inicio = 0, insertarEn = -1;
    bool insertarSinSalto = false; // the insertion point is a last line without its line end
    recorrerLineas(datos, [&](const Linea &l, QByteArrayView t) {
        const Analisis a = analizar(t);
        if (a.clase == Clase::Seccion) {
            enSeccion = cod.mismoNombre(a.nombre, s);
            enPrimera = enSeccion && insertarEn < 0;
        } else if (enSeccion && a.clase == Clase::Clave && cod.mismoNombre(a.nombre, k)) {
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
            datos += '[' + cod.codificar(s) + ']' + salto + lineaClave + salto;
        }
    }
    return datos;
}

} // namespace

QString LeerIni(const QString &archivo, const QString &seccion, const QString &clave, const QString &porDefecto)
{
    return comoLeido(buscar(archivo, seccion.trimmed(), clave.trimmed()), porDefecto);
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
    // A line break inside the value would start a new line of the file.
    QString valor = texto;
    valor.replace(u'\r', u' ').replace(u'\n', u' ');
    const Codificacion cod(datos);
    QByteArray nuevos = conClave(datos, cod, s, k, valor);
    // Windows-1252 bytes that happen to form valid UTF-8 would be read back as
    // UTF-8: then write what will be read.
    if (const Codificacion despues(nuevos); despues.utf8 && !cod.utf8)
        nuevos = conClave(datos, despues, s, k, valor);
    datos = nuevos;

    const bool nuevo = !QFileInfo::exists(archivo);
    QSaveFile salida(archivo);
    if (!salida.open(QIODevice::WriteOnly))
        return false;
    // A new file is for its owner only, whatever the umask: it names the database
    // and may hold its password. An existing one keeps its mode.
    if (nuevo)
        salida.setPermissions(kPermisosPrivados);
    return salida.write(datos) == datos.size() && salida.commit();
}

bool PuedeGuardar(const QString &archivo, const QString &texto)
{
    QFile f(archivo);
    if (f.open(QIODevice::ReadOnly) && Codificacion(f.readAll()).utf8)
        return true;
    return desdeAnsi(aAnsi(texto)) == texto;
}

QString DirectorioPrograma()
{
    return directorioFijado.isEmpty() ? QCoreApplication::applicationDirPath() : directorioFijado;
}

void FijarDirectorioPrograma(const QString &directorio, bool soloLectura)
{
    directorioFijado = directorio;
    soloLecturaFijado = soloLectura;
}

bool CarpetaProgramaEscribible()
{
    // An installed program is in a system folder that root can write: its
    // files go to the per-user folders all the same, never beside it.
    const QFileInfo info(DirectorioPrograma());
    const QString carpeta = info.canonicalFilePath();
    const bool delSistema = carpeta.startsWith(QLatin1String("/usr/")) || carpeta == u"/bin" || carpeta == u"/sbin";
    return !soloLecturaFijado && !delSistema && info.isDir() && info.isWritable();
}

QString RutaConfig()
{
    if (CarpetaProgramaEscribible())
        return configPrograma();
    const QString propio = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(propio);
    return propio + QStringLiteral("/config.ini");
}

QString LeerConfig(const QString &seccion, const QString &clave, const QString &porDefecto, bool entero)
{
    const QString propio = RutaConfig();
    // A key of the per-user copy wins, even empty; the others come from the administrator's file.
    std::optional<QString> valor;
    if (propio != configPrograma())
        valor = buscar(propio, seccion.trimmed(), clave.trimmed());
    if (!valor)
        valor = buscar(configPrograma(), seccion.trimmed(), clave.trimmed());
    return comoLeido(valor, porDefecto, entero);
}

bool EscribirConfig(const QString &seccion, const QString &clave, const QString &texto)
{
    return EscribirIni(RutaConfig(), seccion, clave, texto);
}

} // namespace MOD_ini
