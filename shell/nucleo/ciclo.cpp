#include "shell/nucleo/ciclo.h"

#include "common/texto.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/trabajador.h"
#include "storage/conexion.h"
#include "storage/mod_ado.h"
#include "storage/mod_ini.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <algorithm>
#include <atomic>
#include <limits>

using namespace MOD_variables;

namespace {

// A minute as the schedule compares it: seconds dropped, the date kept. On
// the moment itself, so a wall time repeated when clocks go back stays apart.
QDateTime minuto(const QDateTime &momento)
{
    return momento.addMSecs(-(momento.time().msecsSinceStartOfDay() % 60000));
}

} // namespace

namespace Arranque {

void LeerCambioHora()
{
    const QString hoy = HoyMedianoche();
    const auto fecha = [&](const char *clave) {
        const QString texto = MOD_ini::LeerConfig(QStringLiteral("cambiohora"), QLatin1String(clave), hoy);
        return FechaHoraDesdeTexto(texto).value_or(*FechaHoraDesdeTexto(hoy));
    };
    HoraCambio = fecha("hora1");
    HoraEnvio = fecha("hora2");
    CambioActivado = BooleanoDesdeTexto(MOD_ini::LeerConfig(QStringLiteral("cambiohora"), QStringLiteral("activada")))
                         .value_or(false);
}

namespace {

// A config.ini whose database URL holds a password and that other local
// accounts can read; the administrator decides, so it is only reported.
QStringList configsConClaveALaVista()
{
    QStringList archivos{QDir(MOD_ini::DirectorioPrograma()).filePath(QStringLiteral("config.ini"))};
    if (!archivos.contains(MOD_ini::RutaConfig()))
        archivos << MOD_ini::RutaConfig();
    QStringList lineas;
    for (const QString &archivo : archivos) {
        const QFileInfo info(archivo);
        if (!info.exists() || !(info.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)))
            continue;
        if (MOD_ado::LlevaClave(MOD_ini::LeerIni(archivo, QStringLiteral("datos"), QStringLiteral("bd"))))
            lineas << QStringLiteral("Aviso: %1 contiene la clave de la base de datos y otros usuarios del sistema "
                                     "pueden leerlo. Déjelo solo para su propietario (chmod 600) o quite la clave "
                                     "de la dirección y use un archivo de claves (.pgpass) o un certificado.")
                          .arg(QDir::toNativeSeparators(archivo));
    }
    return lineas;
}

} // namespace

QString LeerConfiguracion(QString *error, QStringList *avisos)
{
    LeerCambioHora();

    // Beside the program, or in the per-user data folder when the program's
    // folder cannot be written. Only this database is created when missing.
    const bool escribible = MOD_ini::CarpetaProgramaEscribible();
    const QString porDefecto =
        QDir(escribible ? MOD_ini::DirectorioPrograma()
                        : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
            .filePath(QStringLiteral("datos/zeb.db"));
    MOD_ado::fijarBaseCreable(porDefecto);
    RutaBaseDatos = MOD_ini::LeerConfig(QStringLiteral("datos"), QStringLiteral("bd"), porDefecto);
    ClaveBaseDatos = QStringLiteral("qwrT958");
    if (avisos && !escribible) {
        QString aviso = QStringLiteral("La carpeta del programa no admite escritura: los cambios de configuración se "
                                       "guardan en %1")
                            .arg(QDir::toNativeSeparators(MOD_ini::RutaConfig()));
        if (RutaBaseDatos == porDefecto)
            aviso += QStringLiteral(" y la base de datos está en %1").arg(QDir::toNativeSeparators(porDefecto));
        *avisos << aviso;
    }
    if (avisos)
        *avisos << configsConClaveALaVista();
    const QString e = MOD_ado::PrepararBaseDatos(CadenaConexion());
    if (error)
        *error = e;

    const auto leerNumero = [](const QString &seccion, const QString &clave, qint16 porDefecto) -> qint16 {
        const QString texto = MOD_ini::LeerConfig(seccion, clave, QString::number(porDefecto));
        const auto valor = textoAEntero16(texto);
        return valor && EmpiezaPorNumero(texto) ? *valor : porDefecto;
    };
    const QString timeout = QStringLiteral("timeout"), comunicaciones = QStringLiteral("comunicaciones");
    TimeoutComunicaciones = leerNumero(comunicaciones, timeout, 5);
    TimeoutIncidencias = leerNumero(QStringLiteral("Incidencias"), timeout, 0);
    Simultaneos = leerNumero(comunicaciones, QStringLiteral("simultaneos"), 16);
    if (Simultaneos < 1)
        Simultaneos = 16;
    const QString alertas = QStringLiteral("alertas");
    Alertas.minutos = std::max<int>(0, leerNumero(alertas, QStringLiteral("minutos"), 15));
    Alertas.orden = MOD_ini::LeerConfig(alertas, QStringLiteral("orden")).trimmed();

    return MOD_ini::LeerConfig(QStringLiteral("comunicaciones"), QStringLiteral("lectura"), QStringLiteral("1"));
}

} // namespace Arranque

Ciclo::Ciclo(std::function<QVector<TerminalRecord>()> terminales, QObject *parent)
    : QObject(parent), terminales_(std::move(terminales))
{
    trabajador_ = new Trabajador(Trabajador::LeerMapaPuertos(), Simultaneos, this);
}

Ciclo::~Ciclo() = default;

void Ciclo::Encolar(const QString &carril, Cuerpo cuerpo, std::function<void()> alTerminar)
{
    Trabajador *w = trabajador_;
    w->encolar(
        carril, TimeoutComunicaciones,
        [w, cuerpo = std::move(cuerpo)](const MOD_comunicaciones_kora::Contexto &ctx) {
            const Trabajos::Salida salida{
                [w](const QStringList &lineas, bool recortar) { w->registrar(lineas, recortar); },
                [w](const QString &texto, int valor, int maximo) { w->informar(texto, valor, maximo); },
                [w](int ms) { return w->pausar(ms); },
                [w](const QString &clave, const MOD_ado::EstadoTerminal &e) { w->informarEstado(clave, e); }};
            cuerpo(ctx, salida);
        },
        std::move(alTerminar));
}

void Ciclo::Encolar(const TerminalRecord &terminal, Cuerpo cuerpo, std::function<void()> alTerminar)
{
    Encolar(Trabajador::Carril(terminal), std::move(cuerpo), std::move(alTerminar));
}

void Ciclo::EncolarRonda(const QVector<TerminalRecord> &terminales, CuerpoRonda cuerpo,
                         std::function<void()> alTerminar)
{
    rondas_.push_back([this, terminales, cuerpo = std::move(cuerpo), alTerminar = std::move(alTerminar)] {
        // The terminals of each lane in table order; the lanes in the order of their first terminal.
        QStringList orden;
        QHash<QString, QVector<TerminalRecord>> porCarril;
        for (const TerminalRecord &t : terminales) {
            const QString c = Trabajador::Carril(t);
            if (!porCarril.contains(c))
                orden << c;
            porCarril[c] << t;
        }
        const auto fin = [this, alTerminar] {
            if (alTerminar)
                alTerminar();
            rondaEnCurso_ = false;
            SiguienteRonda();
        };
        if (orden.isEmpty()) {
            QMetaObject::invokeMethod(this, fin, Qt::QueuedConnection);
            return;
        }
        auto quedan = std::make_shared<qsizetype>(orden.size());
        for (const QString &c : orden)
            Encolar(
                c,
                [grupo = porCarril.value(c), cuerpo](const MOD_comunicaciones_kora::Contexto &ctx,
                                                     const Trabajos::Salida &salida) { cuerpo(ctx, grupo, salida); },
                [quedan, fin] {
                    if (--*quedan == 0)
                        fin();
                });
    });
    SiguienteRonda();
}

void Ciclo::SiguienteRonda()
{
    if (rondaEnCurso_ || rondas_.empty())
        return;
    rondaEnCurso_ = true;
    const auto arrancar = std::move(rondas_.front());
    rondas_.pop_front();
    arrancar();
}

void Ciclo::TickLectura(double periodo)
{
    ++SegundosLectura;
    if (SegundosLectura >= 60) {
        if (periodo > 0 && MinutosLectura < std::numeric_limits<qint16>::max())
            ++MinutosLectura;
        SegundosLectura = 0;
    }
    // "Reached or passed", seconds included: a lowered period must not stop
    // polling, and a fractional one (0.5 = every 30 s) means what it says.
    // For a whole P this first holds on the tick that completes the minute.
    if (periodo > 0 && MinutosLectura + SegundosLectura / 60.0 >= periodo) {
        if (!LecturaEnCurso)
            LecturaMarcajes(true);
        MinutosLectura = 0;
        SegundosLectura = 0;
    }
}

void Ciclo::LecturaMarcajes(bool desdeTemporizador)
{
    if (LecturaEnCurso)
        return;
    LecturaEnCurso = true;
    emit lecturaEmpezada();
    const auto cc = CadenaConexion();
    auto total = std::make_shared<std::atomic<long>>(0); // one count for the whole run
    EncolarRonda(
        terminales_(),
        [cc, total, alertas = Alertas](const MOD_comunicaciones_kora::Contexto &ctx,
                                       const QVector<TerminalRecord> &terminales, const Trabajos::Salida &salida) {
            Trabajos::LeerTerminales(ctx, terminales, cc, 0, salida, total.get(), alertas);
        },
        [this, desdeTemporizador] {
            LecturaEnCurso = false;
            if (desdeTemporizador)
                MinutosLectura = 0;
            emit lecturaTerminada();
        });
}

void Ciclo::TickCambioHora(const QDateTime &ahora)
{
    if (!CambioActivado)
        return;
    const QDateTime este = minuto(ahora);
    const QDateTime disparo = minuto(HoraCambio);
    if (este == disparo) {
        const auto terminales = terminales_();
        const QDateTime envio = HoraEnvio;
        EncolarRonda(terminales, [envio](const MOD_comunicaciones_kora::Contexto &ctx,
                                         const QVector<TerminalRecord> &grupo, const Trabajos::Salida &salida) {
            Trabajos::CambioHora(ctx, grupo, envio, salida);
        });
        // Disarmed as soon as the pass is queued, so the next tick cannot queue it again.
        DesarmarCambioHora();
    } else if (este > disparo) {
        DesarmarCambioHora();
    }
}

void Ciclo::DesarmarCambioHora()
{
    CambioActivado = false;
    MOD_ini::EscribirConfig(QStringLiteral("cambiohora"), QStringLiteral("activada"), TextoBooleano(false));
    emit cambioDesarmado();
}
