#include "shell/nucleo/servicio.h"

#include "common/texto.h"
#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/instancia_unica.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/registro.h"
#include "shell/nucleo/senales.h"
#include "shell/nucleo/trabajador.h"
#include "storage/mod_ado.h"
#include "storage/mod_ini.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace MOD_variables;

namespace {

// Whether the stream is the journal's: systemd names it in JOURNAL_STREAM as
// "device:inode". A child that inherited the variable but writes elsewhere
// (a pipe, a file) keeps plain lines.
bool alDiario(std::FILE *destino)
{
#ifdef Q_OS_UNIX
    const QByteArray diario = qgetenv("JOURNAL_STREAM");
    struct stat st {};
    return !diario.isEmpty() && fstat(fileno(destino), &st) == 0
           && diario == QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
#else
    Q_UNUSED(destino);
    return false;
#endif
}

// One line each, whatever the text holds, and on its way at once: a service
// manager's journal must see every line even if the process dies next. In the
// journal each line carries its priority, so "journalctl -p err" lists failures.
void escribirLinea(std::FILE *destino, const LineaRegistro &linea)
{
    static const bool diarioSalida = alDiario(stdout), diarioErrores = alDiario(stderr);
    QString texto = linea.texto;
    texto.replace(u'\r', u' ').replace(u'\n', u' ');
    QByteArray bytes = texto.toUtf8() + '\n';
    if (destino == stdout ? diarioSalida : diarioErrores)
        bytes.prepend(linea.gravedad == Gravedad::Error ? "<3>" : "<6>");
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), destino);
    std::fflush(destino);
}

} // namespace

Servicio::Servicio(QObject *parent) : QObject(parent)
{
    reloj_.setInterval(1000);
    connect(&reloj_, &QTimer::timeout, this, &Servicio::Tick);
}

void Servicio::Arrancar()
{
    QString error;
    LineasRegistro avisos;
    lectura_ = Arranque::LeerConfiguracion(&error, &avisos).PeriodoLectura;
    for (const LineaRegistro &aviso : avisos)
        escribirLinea(stdout, aviso);
    // The first start leaves a config.ini of its own (owner-only) for the
    // administrator to edit as the service's user.
    if (!QFileInfo::exists(MOD_ini::RutaConfig()))
        if (const QString e = GuardarPeriodoLectura(lectura_); !e.isEmpty())
            escribirLinea(stderr, {e, Gravedad::Error});
    // A database that cannot be opened says so once.
    if (!error.isEmpty())
        escribirLinea(stderr, {error, Gravedad::Error});
    MOD_ado::Incidencias incidencias; // the service sends no incidents: only a fault is of interest
    if (const QString e = MOD_ado::CargarIncidencias(CadenaConexion(), incidencias); !e.isEmpty() && e != error)
        escribirLinea(stderr, {e, Gravedad::Error});
    CargarTerminales(error);

    ciclo_ = new Ciclo([this] { return terminales_; }, this);
    connect(ciclo_->trabajador(), &Trabajador::lineas, this, [](const LineasRegistro &lineas) {
        for (const LineaRegistro &linea : lineas)
            escribirLinea(stdout, linea);
    });
    // Emitted before the run copies the terminal table: each run polls the
    // terminals the table holds now (another program may have changed it).
    connect(ciclo_, &Ciclo::lecturaEmpezada, this, [this] { CargarTerminales(); });
    reloj_.start();
}

void Servicio::CargarTerminales(const QString &yaDicho)
{
    // A table that cannot be read now keeps the list as it was; its fault is
    // said once, not at every run.
    QVector<TerminalRecord> leidos;
    const QString e = MOD_ado::CargarTerminales(CadenaConexion(), leidos);
    if (e.isEmpty() || terminales_.isEmpty())
        terminales_ = leidos;
    if (!e.isEmpty() && e != yaDicho && e != errorTerminales_)
        escribirLinea(stderr, {e, Gravedad::Error});
    errorTerminales_ = e;
}

void Servicio::Tick()
{
    ciclo_->TickLectura(valorNumerico(lectura_));
    ciclo_->TickCambioHora(QDateTime::currentDateTime());
    ciclo_->TickRelojes();
}

void Servicio::Detener(int ms)
{
    reloj_.stop();
    if (ciclo_)
        ciclo_->trabajador()->detenerOSalir(ms);
}

int Servicio::Ejecutar(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Installed as a unit, config.ini and the default database live in the
    // state folder systemd gives it: the program's own folder is read-only.
    if (const QString estado = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0); !estado.isEmpty())
        MOD_ini::FijarDirectorioPrograma(estado);
    InstanciaUnica instancia;
    if (!instancia.Adquirir()) {
        escribirLinea(stderr, {TextoSegundaInstancia(), Gravedad::Error});
        return 1;
    }
    Servicio servicio;
    AlPedirTerminar(&servicio, [&servicio] {
        servicio.Detener(800);
        // Lines of terminals finished just before the stop still get written.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::quit();
    });
    servicio.Arrancar();
    return app.exec();
}
