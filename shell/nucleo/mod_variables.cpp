#include "shell/nucleo/mod_variables.h"

#include "common/texto.h"
#include "storage/conexion.h"
#include "storage/mod_ini.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>

namespace MOD_variables {

namespace {

Configuracion ajustes;

// Each config.ini setting, named once for reading and for writing.
struct Clave {
    const char *seccion, *nombre;
    // Read whole: the database's address, which a cut at 254 characters could
    // leave without its sslmode, connecting without checking the server.
    bool entero = false;
};
constexpr Clave kBd{"datos", "bd", true}, kHora1{"cambiohora", "hora1"}, kHora2{"cambiohora", "hora2"},
    kActivada{"cambiohora", "activada"}, kLectura{"comunicaciones", "lectura"},
    kTimeout{"comunicaciones", "timeout"}, kSimultaneos{"comunicaciones", "simultaneos"},
    kEsperaMuertos{"comunicaciones", "espera_muertos"},
    kTimeoutIncidencias{"Incidencias", "timeout"}, kAlertasMinutos{"alertas", "minutos"},
    kAlertasOrden{"alertas", "orden"}, kAutoarranque{"inicio", "autoarranque"}, kComprobar{"reloj", "comprobar"},
    kCorregir{"reloj", "corregir"}, kMaximo{"reloj", "maximo"}, kSoloSincronizado{"reloj", "solo_sincronizado"},
    kCambioAutomatico{"reloj", "cambio_automatico"};

QString leer(Clave c, const QString &porDefecto = {})
{
    return MOD_ini::LeerConfig(QLatin1String(c.seccion), QLatin1String(c.nombre), porDefecto, c.entero);
}
// Empty, or the error line of a config.ini that cannot be written.
QString escribir(Clave c, const QString &valor)
{
    if (MOD_ini::EscribirConfig(QLatin1String(c.seccion), QLatin1String(c.nombre), valor))
        return {};
    return QStringLiteral("ERROR al guardar la configuración: no se puede escribir %1 (compruebe que este usuario "
                          "puede escribir el archivo y su carpeta)")
        .arg(QDir::toNativeSeparators(MOD_ini::RutaConfig()));
}

// The schedule as the database remembers it once done.
QString programaCambio()
{
    return TextoFechaHora(ajustes.HoraCambio) + QStringLiteral(" -> ") + TextoFechaHora(ajustes.HoraEnvio);
}

void leerCambioHora()
{
    const QString hoy = HoyMedianoche();
    const auto fecha = [&](Clave clave) {
        return FechaHoraDesdeTexto(leer(clave, hoy)).value_or(*FechaHoraDesdeTexto(hoy));
    };
    ajustes.HoraCambio = fecha(kHora1);
    ajustes.HoraEnvio = fecha(kHora2);
    ajustes.CambioActivado = BooleanoDesdeTexto(leer(kActivada)).value_or(false);
}

} // namespace

const Configuracion &Ajustes()
{
    return ajustes;
}

MOD_ado::CadenaConexion CadenaConexion()
{
    return {ajustes.RutaBaseDatos, ajustes.ClaveBaseDatos};
}

QString GuardarRutaBaseDatos(const QString &ruta)
{
    ajustes.RutaBaseDatos = ruta;
    return escribir(kBd, ruta);
}

QString GuardarCambioHora(const QDateTime &cambio, const QDateTime &envio, std::optional<bool> activada)
{
    QString e = escribir(kHora1, TextoFechaHora(cambio));
    if (e.isEmpty())
        e = escribir(kHora2, TextoFechaHora(envio));
    if (e.isEmpty())
        e = escribir(kActivada, activada ? TextoBooleano(*activada) : QString());
    if (!e.isEmpty()) { // what a restart would not read runs in this one all the same
        ajustes.HoraCambio = cambio;
        ajustes.HoraEnvio = envio;
        ajustes.CambioActivado = activada.value_or(false);
        return e;
    }
    // Read back, so the schedule runs on exactly what a restart would read.
    leerCambioHora();
    return {};
}

QString DesarmarCambioHora()
{
    ajustes.CambioActivado = false;
    const QString e = escribir(kActivada, TextoBooleano(false));
    // Also kept where the program can write: a root-owned config.ini must not
    // make the schedule fire again at every restart.
    const QString eBase = MOD_ado::AnotarCambioHecho(CadenaConexion(), programaCambio());
    if (e.isEmpty())
        return {};
    if (eBase.isEmpty())
        return e + QStringLiteral("; el cambio de hora programado queda anotado como hecho en la base de datos");
    return e + QStringLiteral("; tampoco se puede anotar en la base de datos que el cambio de hora programado ya "
                              "se hizo: ") + eBase;
}

QString GuardarPeriodoLectura(const QString &texto)
{
    ajustes.PeriodoLectura = texto;
    return escribir(kLectura, texto);
}

QString GuardarAutoarranque(bool activo)
{
    ajustes.Autoarranque = activo;
    return escribir(kAutoarranque, activo ? QStringLiteral("1") : QStringLiteral("0"));
}

QString TextoFechaHora(const QDateTime &valor)
{
    return valor.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

QString TextoBooleano(bool valor)
{
    return valor ? QStringLiteral("True") : QStringLiteral("False");
}

QDateTime MomentoLocal(const QDate &fecha, const QTime &hora)
{
    const QDateTime momento(fecha, hora);
    if (momento.isValid() || !fecha.isValid() || !hora.isValid())
        return momento;
    // Back to the last minute before the gap; a minute later is its end. The
    // wall clock is counted in UTC, which has no gaps.
    QDateTime reloj(fecha, QTime(hora.hour(), hora.minute()), Qt::UTC);
    for (int i = 0; i < 2 * 24 * 60; ++i) {
        reloj = reloj.addSecs(-60);
        const QDateTime antes(reloj.date(), reloj.time());
        if (antes.isValid())
            return antes.addSecs(60);
    }
    return {};
}

std::optional<QDateTime> FechaHoraDesdeTexto(const QString &texto)
{
    const QString t = texto.simplified();
    const qsizetype blanco = t.indexOf(u' ');
    const QDate fecha = QDate::fromString(t.left(blanco), QStringLiteral("d/M/yyyy"));
    QTime hora(0, 0);
    if (blanco >= 0) {
        const QString parte = t.mid(blanco + 1);
        hora = QTime::fromString(parte, QStringLiteral("H:mm:ss"));
        if (!hora.isValid())
            hora = QTime::fromString(parte, QStringLiteral("H:mm"));
    }
    const QDateTime momento = MomentoLocal(fecha, hora);
    return momento.isValid() ? std::optional(momento) : std::nullopt;
}

std::optional<bool> BooleanoDesdeTexto(const QString &texto)
{
    const QString t = texto.trimmed();
    if (t.compare(u"true", Qt::CaseInsensitive) == 0 || t.compare(u"verdadero", Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(u"false", Qt::CaseInsensitive) == 0 || t.compare(u"falso", Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double n = t.toDouble(&ok);
    if (ok)
        return n != 0;
    return std::nullopt;
}

bool EmpiezaPorNumero(const QString &texto)
{
    static const QRegularExpression numero(QStringLiteral("^[+-]?(\\d|\\.\\d|&[Hh][0-9A-Fa-f]|&[Oo][0-7])"));
    QString t = texto;
    t.remove(QRegularExpression(QStringLiteral("[ \\t\\n]")));
    return numero.match(t).hasMatch();
}

QString HoyMedianoche()
{
    return TextoFechaHora(QDate::currentDate().startOfDay());
}

} // namespace MOD_variables

namespace Arranque {

using namespace MOD_variables;

namespace {

// A config.ini whose database URL holds a password and that other local
// accounts can read; the administrator decides, so it is only reported.
LineasRegistro configsConClaveALaVista()
{
    QStringList archivos{QDir(MOD_ini::DirectorioPrograma()).filePath(QStringLiteral("config.ini"))};
    if (!archivos.contains(MOD_ini::RutaConfig()))
        archivos << MOD_ini::RutaConfig();
    LineasRegistro lineas;
    for (const QString &archivo : archivos) {
        const QFileInfo info(archivo);
        if (!info.exists() || !(info.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)))
            continue;
        if (MOD_ado::LlevaClave(MOD_ini::LeerIni(archivo, QLatin1String(kBd.seccion), QLatin1String(kBd.nombre))))
            lineas.append({QStringLiteral("Aviso: %1 contiene la clave de la base de datos y otros usuarios del "
                                          "sistema pueden leerlo. Déjelo solo para su propietario (chmod 600) o "
                                          "quite la clave de la dirección y use un archivo de claves (.pgpass) o "
                                          "un certificado.")
                               .arg(QDir::toNativeSeparators(archivo))});
    }
    return lineas;
}

} // namespace

const Configuracion &LeerConfiguracion(QString *error, LineasRegistro *avisos)
{
    leerCambioHora();

    // Beside the program, or in the per-user data folder when the program's
    // folder cannot be written. Only this database is created when missing.
    const bool escribible = MOD_ini::CarpetaProgramaEscribible();
    const QString porDefecto =
        QDir(escribible ? MOD_ini::DirectorioPrograma()
                        : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
            .filePath(QStringLiteral("datos/zeb.db"));
    MOD_ado::fijarBaseCreable(porDefecto);
    ajustes.RutaBaseDatos = leer(kBd, porDefecto);
    // A relative file path belongs to the program's folder, wherever it was started from.
    if (!ajustes.RutaBaseDatos.trimmed().isEmpty() && MOD_ado::dialectoDe(ajustes.RutaBaseDatos).esArchivo
        && QDir::isRelativePath(ajustes.RutaBaseDatos))
        ajustes.RutaBaseDatos = QDir(MOD_ini::DirectorioPrograma()).filePath(ajustes.RutaBaseDatos);
    if (avisos && !escribible) {
        QString aviso = QStringLiteral("La carpeta del programa no admite escritura: los cambios de configuración se "
                                       "guardan en %1")
                            .arg(QDir::toNativeSeparators(MOD_ini::RutaConfig()));
        if (ajustes.RutaBaseDatos == porDefecto)
            aviso += QStringLiteral(" y la base de datos está en %1").arg(QDir::toNativeSeparators(porDefecto));
        avisos->append({aviso});
    }
    if (avisos) {
        avisos->append(configsConClaveALaVista());
        if (const QString aviso = MOD_ado::AvisoConexion(ajustes.RutaBaseDatos); !aviso.isEmpty())
            avisos->append({aviso});
    }
    const QString e = MOD_ado::PrepararBaseDatos(CadenaConexion());
    if (error)
        *error = e;
    if (ajustes.CambioActivado && e.isEmpty() && MOD_ado::CambioHecho(CadenaConexion(), programaCambio())) {
        ajustes.CambioActivado = false;
        escribir(kActivada, TextoBooleano(false));
        if (avisos)
            avisos->append({QStringLiteral("El cambio de hora programado (%1) ya se hizo: queda desactivado")
                                .arg(programaCambio())});
    }

    const auto leerNumero = [](Clave clave, qint16 porDefecto) -> qint16 {
        const QString texto = leer(clave, QString::number(porDefecto));
        const auto valor = textoAEntero16(texto);
        return valor && EmpiezaPorNumero(texto) ? *valor : porDefecto;
    };
    ajustes.TimeoutComunicaciones = leerNumero(kTimeout, 5);
    ajustes.TimeoutIncidencias = leerNumero(kTimeoutIncidencias, 0);
    ajustes.Simultaneos = leerNumero(kSimultaneos, 16);
    if (ajustes.Simultaneos < 1)
        ajustes.Simultaneos = 16;
    ajustes.EsperaMuertos = std::max<int>(0, leerNumero(kEsperaMuertos, 0));
    ajustes.Alertas.minutos = std::max<int>(0, leerNumero(kAlertasMinutos, 15));
    ajustes.Alertas.orden = leer(kAlertasOrden).trimmed();
    // A negative number reads as the default, like an unreadable one.
    const auto leerNoNegativo = [&](Clave clave, qint16 porDefecto) -> int {
        const qint16 n = leerNumero(clave, porDefecto);
        return n < 0 ? porDefecto : n;
    };
    const auto leerBooleano = [](Clave clave, bool porDefecto) {
        return BooleanoDesdeTexto(leer(clave)).value_or(porDefecto);
    };
    const Configuracion::Relojes inicial;
    ajustes.Reloj.comprobar = leerNoNegativo(kComprobar, qint16(inicial.comprobar));
    ajustes.Reloj.corregir = leerNoNegativo(kCorregir, qint16(inicial.corregir));
    ajustes.Reloj.maximo = leerNoNegativo(kMaximo, qint16(inicial.maximo));
    ajustes.Reloj.soloSincronizado = leerBooleano(kSoloSincronizado, inicial.soloSincronizado);
    ajustes.Reloj.cambioAutomatico = leerBooleano(kCambioAutomatico, inicial.cambioAutomatico);

    ajustes.Puertos.clear();
    for (int n = 1; n <= 16; ++n) {
        const QString dispositivo = MOD_ini::LeerConfig(QStringLiteral("puertos"), QStringLiteral("com%1").arg(n)).trimmed();
        if (!dispositivo.isEmpty())
            ajustes.Puertos.insert(n, dispositivo);
    }
    ajustes.PeriodoLectura = leer(kLectura, QStringLiteral("1"));
    // On exactly when its numeric value is 1.
    ajustes.Autoarranque =
        valorNumerico(leer(kAutoarranque, QStringLiteral("1"))) == 1;
    return ajustes;
}

} // namespace Arranque
