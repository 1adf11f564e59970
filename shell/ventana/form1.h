#pragma once
// The main window: terminal list, polling, clock and incident controls, log.

#include "common/terminal.h"
#include "shell/nucleo/registro.h"
#include "shell/ventana/form2.h"
#include "storage/estado_terminales.h"
#include "storage/mod_ado.h"

#include <QDateTime>
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <optional>
#include <utility>

class QCheckBox;
class QLabel;
class QDateTimeEdit;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTimer;
class UpDown;
class Trabajador;
class Ciclo;
class FormMarcajes;
namespace MOD_comunicaciones_kora {
struct Contexto;
}

class Form1 : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window and runs the start-up sequence (Form_Load); the
    // timers start once it has finished. The single-instance check is made
    // by main() before the window exists.
    explicit Form1(QWidget *parent = nullptr);
    // Stops the communications worker before any control goes away.
    ~Form1() override;

    // The terminal table (line i of List2 is element i) and the incident
    // catalogue, as last loaded from the database.
    QVector<TerminalRecord> Terminales;
    MOD_ado::Incidencias DescripcionesIncidencias;

    void ActualizarListaTerminales();
    // The table read again; List2 changes only when it did, keeping the selection.
    void RecargarTerminales();
    // The role of a List2 line that holds its Estado::Marca.
    static constexpr int RolMarca = Qt::UserRole + 1;
    // True for checked, false for unchecked, no value for a partial state.
    static std::optional<bool> DCheckBoolean(Qt::CheckState valor);

    // Index of the selected terminal (line of List2), -1 for none. With
    // avisar, no selection shows "Seleccione un terminal".
    int TerminalSeleccionado(bool avisar);
    // The selected terminal's record; with no selection the box is shown and nothing returned.
    std::optional<TerminalRecord> TerminalElegido();
    void AnadirLog(const LineaRegistro &linea);
    // A config.ini that could not be written is said in the log.
    void ErrorConfiguracion(const QString &error);
    // Shows a storage error description in a critical box; empty means fine.
    void MostrarErrorBaseDatos(const QString &descripcion);

    // Chooses the database file; tests replace it. Empty = cancelled.
    std::function<QString()> ElegirArchivoBaseDatos;
    // The clock the schedule compares with; tests replace it.
    std::function<QDateTime()> Ahora;

    // Sends a range of incidents to a terminal and secures them, on the
    // terminal's lane; the result (0 = secured) arrives in alTerminar.
    void Enviar_Incidencias(int terminal, std::function<void(int)> alTerminar = {});

    // The polling clock and the lanes.
    Ciclo *ciclo() const { return ciclo_; }

public slots:
    void Check2_Click();
    void Check1_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void Command6_Click();
    void Command7_Click();
    void Command8_Click();
    void Command9_Click();
    void Command10_Click();
    void Command11_Click();
    void Command12_Click();
    void Text1_Change();
    void Text2_Validate();
    void Text3_Validate();
    void Timer1_Timer();
    void Timer2_Timer();
    void Salir_Click();
    // Opens the punch viewer (menu "Ver marcajes..."), or raises it when open.
    void VerMarcajes_Click();

protected:
    void closeEvent(QCloseEvent *evento) override;
    bool eventFilter(QObject *objeto, QEvent *evento) override;

private:
    void ConstruirVentana();
    void Form_Load();
    void GuardarCambioHora();
    void ValidarRangoIncidencia(QLineEdit *caja);
    // Range boxes read as numbers rounded halves to even.
    std::pair<int, int> RangoIncidencias() const;
    // Queues a job on the selected terminal's lane; with no selection the box
    // is shown and nothing is queued (false).
    using TrabajoTerminal = std::function<void(const MOD_comunicaciones_kora::Contexto &, const TerminalRecord &,
                                               Trabajador &)>;
    bool EncolarEnElegido(const TrabajoTerminal &cuerpo, std::function<void()> alTerminar = {});
    void MostrarProgreso(const QString &texto, int valor, int maximo);
    // The zone for the editor, or nullopt where the database keeps none.
    std::optional<QString> ZonaGuardable(const QString &zona) const;
    void GuardarZona(const Form2::Valores &v);
    // Marks and tooltips of List2 (only the lines of terminal `solo` when
    // given) and the selected terminal's detail line.
    void PintarEstados(const QString &solo = QString());
    void PintarDetalle();
    void Terminar();

    bool cargando_ = false; // start-up: picker and check changes store nothing

    QListWidget *List1 = nullptr;
    QListWidget *List2 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLineEdit *Text3 = nullptr;
    QLineEdit *Text4 = nullptr;
    UpDown *UpDown1 = nullptr;
    UpDown *UpDown2 = nullptr;
    UpDown *UpDown3 = nullptr;
    QDateTimeEdit *Fecha1 = nullptr;
    QDateTimeEdit *Fecha2 = nullptr;
    QCheckBox *Check1 = nullptr;
    QCheckBox *Check2 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *Command5 = nullptr;
    QPushButton *Command6 = nullptr;
    QPushButton *Command7 = nullptr;
    QPushButton *Command8 = nullptr;
    QPushButton *Command9 = nullptr;
    QPushButton *Command10 = nullptr;
    QPushButton *Command11 = nullptr;
    QPushButton *Command12 = nullptr;
    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QProgressBar *barra_ = nullptr;
    Ciclo *ciclo_ = nullptr;
    QPointer<FormMarcajes> visor_;
    QLabel *EstadoTerminal = nullptr;
    QHash<QString, MOD_ado::EstadoTerminal> estados_; // by ClaveTerminal

};
