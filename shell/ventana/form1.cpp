#include "shell/ventana/form1.h"

#include "common/texto.h"
#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/estado_terminal.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/registro.h"
#include "shell/nucleo/trabajador.h"
#include "shell/nucleo/trabajos.h"
#include "shell/ventana/autoarranque.h"
#include "shell/ventana/form2.h"
#include "shell/ventana/form_marcajes.h"
#include "storage/dialecto.h"
#include "storage/mod_ado.h"
#include "storage/mod_ini.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

using namespace MOD_variables;

Form1::Form1(QWidget *parent) : QMainWindow(parent)
{
    ElegirArchivoBaseDatos = [this] {
        return QFileDialog::getOpenFileName(this, QString(), QString(),
                                            QStringLiteral("Access (*.mdb);;SQLite (*.db *.sqlite *.sqlite3);;"
                                                           "Todos los archivos (*)"));
    };
    Ahora = [] { return QDateTime::currentDateTime(); };
    ConstruirVentana();
    Form_Load();
    ciclo_ = new Ciclo([this] { return Terminales; }, this);
    Trabajador *w = ciclo_->trabajador();
    connect(w, &Trabajador::lineas, this, [this](const LineasRegistro &lineas, bool recortarLog) {
        for (const LineaRegistro &linea : lineas) {
            // Unattended polling keeps the log bounded: one old line out per new one past 100.
            if (recortarLog && List1->count() > 100)
                delete List1->takeItem(0);
            AnadirLog(linea);
        }
    });
    connect(w, &Trabajador::progreso, this, &Form1::MostrarProgreso);
    connect(w, &Trabajador::estadoTerminal, this, [this](const QString &clave, const MOD_ado::EstadoTerminal &e) {
        estados_.insert(clave, e);
        PintarEstados(clave);
    });
    connect(ciclo_, &Ciclo::lecturaEmpezada, this, [this] {
        Command1->setEnabled(false);
        RecargarTerminales();
    });
    connect(ciclo_, &Ciclo::lecturaTerminada, this, [this] {
        Command1->setEnabled(true);
        MostrarProgreso(QString(), 0, 0);
    });
    // Unchecking stores both pickers and the disarmed state.
    connect(ciclo_, &Ciclo::cambioDesarmado, this, [this] { Check1->setChecked(false); });
    Timer1->start();
    Timer2->start();
}

void Form1::Form_Load()
{
    // Schedule, database, timeouts and counters as the service reads them; a
    // database that cannot be prepared is reported by the loaders below.
    LineasRegistro avisos;
    const Configuracion &ajustes = Arranque::LeerConfiguracion(nullptr, &avisos);
    for (const LineaRegistro &aviso : avisos)
        AnadirLog(aviso);
    Check2->setChecked(ajustes.Autoarranque);
    Autoarranque::EscribirEntrada(ajustes.Autoarranque);

    // Schedule, restored without storing it again.
    cargando_ = true;
    Fecha1->setDateTime(ajustes.HoraCambio);
    Fecha2->setDateTime(ajustes.HoraEnvio);
    Check1->setChecked(ajustes.CambioActivado);
    cargando_ = false;

    Text4->setText(MOD_ado::RutaParaMostrar(ajustes.RutaBaseDatos)); // never show a password
    Text1->setText(ajustes.PeriodoLectura);

    // The loaders' boxes wait until the timers run: an unattended program
    // must go on polling the terminals that did load while a box is open.
    QStringList errores = {MOD_ado::CargarIncidencias(CadenaConexion(), DescripcionesIncidencias),
                           MOD_ado::CargarTerminales(CadenaConexion(), Terminales)};
    errores.removeDuplicates(); // a database that cannot be opened says so once
    QTimer::singleShot(0, this, [this, errores] {
        for (const QString &error : errores)
            MostrarErrorBaseDatos(error);
    });
    estados_ = MOD_ado::LeerEstados(CadenaConexion());
    ActualizarListaTerminales();
}

void Form1::GuardarCambioHora()
{
    if (cargando_)
        return;
    ErrorConfiguracion(
        MOD_variables::GuardarCambioHora(Fecha1->dateTime(), Fecha2->dateTime(), DCheckBoolean(Check1->checkState())));
}

void Form1::ActualizarListaTerminales()
{
    List2->clear();
    for (int i = 0; i < Terminales.size(); ++i) {
        auto *linea = new QListWidgetItem(Terminales[i].descripcion, List2);
        linea->setData(Qt::UserRole, Terminales[i].ID);
    }
    PintarEstados();
}

std::optional<bool> Form1::DCheckBoolean(Qt::CheckState valor)
{
    switch (valor) {
    case Qt::Checked:
        return true;
    case Qt::Unchecked:
        return false;
    default:
        return std::nullopt;
    }
}

std::optional<TerminalRecord> Form1::TerminalElegido()
{
    const int indice = TerminalSeleccionado(true);
    if (indice < 0 || indice >= Terminales.size())
        return std::nullopt;
    return Terminales[indice];
}

int Form1::TerminalSeleccionado(bool avisar)
{
    const auto *linea = List2->currentItem();
    if (linea && linea->isSelected())
        return List2->currentRow();
    if (avisar) {
        QMessageBox aviso(QMessageBox::NoIcon, TituloAplicacion, QStringLiteral("Seleccione un terminal"),
                          QMessageBox::Ok, this);
        aviso.exec();
    }
    return -1;
}

void Form1::AnadirLog(const LineaRegistro &linea)
{
    // Follows the newest line, unless the operator scrolled up to read.
    const QScrollBar *barra = List1->verticalScrollBar();
    const bool alFinal = barra->value() >= barra->maximum();
    auto *item = new QListWidgetItem(linea.texto, List1);
    if (linea.gravedad == Gravedad::Error)
        item->setForeground(QColor(0xb0, 0x10, 0x10));
    if (alFinal)
        List1->scrollToBottom();
}

void Form1::MostrarErrorBaseDatos(const QString &descripcion)
{
    if (!descripcion.isEmpty())
        QMessageBox::critical(this, TituloAplicacion, descripcion);
}

void Form1::Check2_Click()
{
    const bool activo = Check2->isChecked();
    Autoarranque::EscribirEntrada(activo);
    ErrorConfiguracion(GuardarAutoarranque(activo));
}

void Form1::Check1_Click()
{
    GuardarCambioHora();
}

void Form1::Command11_Click()
{
    const QString archivo = ElegirArchivoBaseDatos ? ElegirArchivoBaseDatos() : QString();
    if (archivo.isEmpty())
        return;
    // Stored as '?', the path would name another, new database after a restart.
    if (!MOD_ini::PuedeGuardar(MOD_ini::RutaConfig(), archivo)) {
        QMessageBox::warning(this, TituloAplicacion,
                             QStringLiteral("La ruta %1 contiene caracteres que config.ini no puede guardar. Elija "
                                            "una base de datos cuya ruta no los tenga (por ejemplo, cambie el nombre "
                                            "del archivo o de la carpeta).")
                                 .arg(QDir::toNativeSeparators(archivo)));
        return;
    }
    Text4->setText(archivo);
    ErrorConfiguracion(GuardarRutaBaseDatos(Text4->text()));
}

void Form1::RecargarTerminales()
{
    // Before the run copies the list: it polls what the table holds now, which
    // another program (or this one on another computer) may have changed.
    QVector<TerminalRecord> leidos;
    if (!MOD_ado::CargarTerminales(CadenaConexion(), leidos).isEmpty() || leidos == Terminales)
        return;
    const auto *elegido = List2->currentItem();
    const QVariant id = elegido && elegido->isSelected() ? elegido->data(Qt::UserRole) : QVariant();
    Terminales = leidos;
    ActualizarListaTerminales();
    for (int i = 0; id.isValid() && i < List2->count(); ++i)
        if (List2->item(i)->data(Qt::UserRole) == id)
            List2->setCurrentRow(i);
}

void Form1::ErrorConfiguracion(const QString &error)
{
    if (!error.isEmpty())
        AnadirLog({::Ahora() + QStringLiteral(", ") + error, Gravedad::Error});
}

void Form1::Command2_Click()
{
    List1->clear();
}

bool Form1::eventFilter(QObject *objeto, QEvent *evento)
{
    if (evento->type() == QEvent::FocusOut) {
        if (objeto == Text2)
            Text2_Validate();
        else if (objeto == Text3)
            Text3_Validate();
    }
    return QMainWindow::eventFilter(objeto, evento);
}

void Form1::ValidarRangoIncidencia(QLineEdit *caja)
{
    const double valor = std::clamp(redondearPar(valorNumerico(caja->text())), 1.0, 99.0);
    caja->setText(QString::number(int(valor)));
}

void Form1::Text2_Validate()
{
    ValidarRangoIncidencia(Text2);
}

void Form1::Text3_Validate()
{
    ValidarRangoIncidencia(Text3);
}

void Form1::Text1_Change()
{
    ErrorConfiguracion(GuardarPeriodoLectura(Text1->text()));
}

void Form1::Command8_Click()
{
    Form2 editor(std::nullopt, Terminales, ZonaGuardable(QString()), this);
    if (editor.exec() != QDialog::Accepted)
        return;
    const Form2::Valores v = editor.valores();
    const QString e = MOD_ado::InsertarTerminal(CadenaConexion(), v.codigo, v.descripcion, v.IP, v.tipo, v.Com);
    MostrarErrorBaseDatos(e);
    if (e.isEmpty())
        GuardarZona(v);
    MostrarErrorBaseDatos(MOD_ado::CargarTerminales(CadenaConexion(), Terminales));
    ActualizarListaTerminales();
}

void Form1::Command9_Click()
{
    const auto terminal = TerminalElegido();
    if (!terminal)
        return;
    Form2 editor(terminal, Terminales,
                 ZonaGuardable(MOD_ado::LeerRelojes(CadenaConexion()).value(ClaveTerminal(*terminal)).zona), this);
    if (editor.exec() != QDialog::Accepted)
        return;
    const Form2::Valores v = editor.valores();
    const QString e = MOD_ado::ModificarTerminal(CadenaConexion(), QString::number(terminal->ID), v.codigo,
                                                 v.descripcion, v.IP, v.tipo, v.Com);
    MostrarErrorBaseDatos(e);
    if (e.isEmpty())
        GuardarZona(v);
    MostrarErrorBaseDatos(MOD_ado::CargarTerminales(CadenaConexion(), Terminales));
    ActualizarListaTerminales();
}

std::optional<QString> Form1::ZonaGuardable(const QString &zona) const
{
    if (!MOD_ado::dialectoDe(Ajustes().RutaBaseDatos).tablasPropias)
        return std::nullopt;
    return zona;
}

void Form1::GuardarZona(const Form2::Valores &v)
{
    // Kept under the terminal as its lane and code make it (a new row's ID is not known yet).
    TerminalRecord t;
    t.codigo = qint16(v.codigo.toInt());
    t.IP = v.IP;
    t.Tipo = qint16(v.tipo.toInt());
    t.Com = qint16(v.Com.toInt());
    if (ZonaGuardable(v.zona))
        MostrarErrorBaseDatos(MOD_ado::GuardarZona(CadenaConexion(), ClaveTerminal(t), v.zona));
    ciclo_->RecargarRelojes();
}

void Form1::Command10_Click()
{
    const int indice = TerminalSeleccionado(true);
    if (indice < 0)
        return;
    const auto respuesta = QMessageBox::question(this, TituloAplicacion, QStringLiteral("¿Desea eliminar este registro?"),
                                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (respuesta != QMessageBox::Yes)
        return;
    const QString id = List2->item(indice)->data(Qt::UserRole).toString();
    MostrarErrorBaseDatos(MOD_ado::BorrarTerminal(CadenaConexion(), id));
    MostrarErrorBaseDatos(MOD_ado::CargarTerminales(CadenaConexion(), Terminales));
    ActualizarListaTerminales();
}

void Form1::Timer1_Timer()
{
    // P is read at every tick, so a new period takes effect at once.
    ciclo_->TickLectura(valorNumerico(Text1->text()));
}

void Form1::Command1_Click()
{
    ciclo_->LecturaMarcajes(false);
}

void Form1::Command12_Click()
{
    const int indice = TerminalSeleccionado(true);
    if (indice < 0)
        return;
    const auto respuesta = QMessageBox::question(
        this, TituloAplicacion,
        QStringLiteral("Este proceso leerá todos los marcajes del terminal (antiguos y nuevos), ¿desea continuar? "),
        QMessageBox::Yes | QMessageBox::No);
    if (respuesta != QMessageBox::Yes || indice >= Terminales.size())
        return;
    Command12->setEnabled(false);
    const QVector<TerminalRecord> terminal{Terminales[indice]};
    const auto cc = CadenaConexion();
    ciclo_->Encolar(
        terminal[0],
        [terminal, cc, alertas = Ajustes().Alertas](const MOD_comunicaciones_kora::Contexto &ctx,
                                                    Trabajador &salida) {
            Trabajos::LeerTerminales(ctx, terminal, cc, 1, salida, nullptr, alertas);
        },
        [this] {
            Command12->setEnabled(true);
            MostrarProgreso(QString(), 0, 0);
        });
}

void Form1::Timer2_Timer()
{
    ciclo_->TickCambioHora(Ahora());
    ciclo_->TickRelojes();
}

std::pair<int, int> Form1::RangoIncidencias() const
{
    const auto leer = [](const QLineEdit *caja) {
        return int(std::clamp(redondearPar(valorNumerico(caja->text())), -32768.0, 32767.0));
    };
    return {leer(Text2), leer(Text3)};
}

bool Form1::EncolarEnElegido(const TrabajoTerminal &cuerpo, std::function<void()> alTerminar)
{
    const auto elegido = TerminalElegido();
    if (!elegido)
        return false;
    ciclo_->Encolar(
        *elegido,
        [terminal = *elegido, cuerpo](const MOD_comunicaciones_kora::Contexto &ctx, Trabajador &salida) {
            cuerpo(ctx, terminal, salida);
        },
        std::move(alTerminar));
    return true;
}

void Form1::Command3_Click()
{
    EncolarEnElegido([](const auto &ctx, const TerminalRecord &t, auto &salida) {
        Trabajos::EnviarHora(ctx, t, Trabajos::NombreEnLineas(t), salida);
    });
}

void Form1::Command6_Click()
{
    EncolarEnElegido([](const auto &ctx, const TerminalRecord &t, auto &salida) {
        Trabajos::LeerHora(ctx, t, Trabajos::NombreEnLineas(t), salida);
    });
}

void Form1::Command4_Click()
{
    const auto [primera, ultima] = RangoIncidencias();
    const bool encolado = EncolarEnElegido(
        [primera, ultima](const auto &ctx, const TerminalRecord &t, auto &salida) {
            Trabajos::LeerIncidencias(ctx, t, primera, ultima, salida);
        },
        [this] { Command4->setEnabled(true); });
    if (encolado)
        Command4->setEnabled(false);
}

void Form1::Command5_Click()
{
    Command5->setEnabled(false);
    const int indice = TerminalSeleccionado(true);
    if (indice < 0 || indice >= Terminales.size()) {
        Command5->setEnabled(true);
        return;
    }
    MostrarErrorBaseDatos(MOD_ado::CargarIncidencias(CadenaConexion(), DescripcionesIncidencias));
    const QString texto = Trabajos::NombreEnLineas(Terminales[indice]);
    Enviar_Incidencias(indice, [this, texto](int resultado) {
        const bool ok = resultado == 0;
        const QString inicio =
            ok ? QStringLiteral("OK, incidencias enviadas al terminal ") : Trabajos::ErrorComunicaciones;
        AnadirLog(LineaDeResultado(ok, inicio + texto));
        Command5->setEnabled(true);
    });
}

void Form1::Enviar_Incidencias(int terminal, std::function<void(int)> alTerminar)
{
    if (terminal < 0 || terminal >= Terminales.size())
        return;
    const TerminalRecord registro = Terminales[terminal];
    const auto [primera, ultima] = RangoIncidencias();
    const auto descripciones = DescripcionesIncidencias;
    const int pausa = Ajustes().TimeoutIncidencias;
    auto resultado = std::make_shared<int>(1);
    ciclo_->Encolar(
        registro, [=](const MOD_comunicaciones_kora::Contexto &ctx, Trabajador &salida) {
            *resultado = Trabajos::Enviar_Incidencias(ctx, registro, descripciones, primera, ultima, pausa, salida);
        },
        [resultado, alTerminar = std::move(alTerminar)] {
            if (alTerminar)
                alTerminar(*resultado);
        });
}

void Form1::Command7_Click()
{
    EncolarEnElegido([](const auto &ctx, const TerminalRecord &t, auto &salida) {
        Trabajos::AsegurarIncidencias(ctx, t, salida);
    });
}

Form1::~Form1()
{
    // Before any control goes: the worker's queued lines must find no half-destroyed window.
    if (ciclo_)
        ciclo_->trabajador()->detenerOSalir(400);
}

void Form1::Terminar()
{
    // Ends at once: a job waiting on a silent terminal stops at its next checkpoint.
    if (ciclo_)
        ciclo_->trabajador()->detenerOSalir(400);
    QCoreApplication::quit();
}

void Form1::Salir_Click()
{
    Terminar();
}

void Form1::closeEvent(QCloseEvent *evento)
{
    evento->accept();
    Terminar();
}

void Form1::VerMarcajes_Click()
{
    if (!visor_)
        visor_ = new FormMarcajes(CadenaConexion(), Terminales, this);
    visor_->show();
    visor_->raise();
    visor_->activateWindow();
}
