// The main window's controls: built once, named as the rest of the program
// and the tests know them, and the marks that show each terminal's state.

#include "shell/ventana/form1.h"

#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/estado_terminal.h"
#include "shell/ventana/updown.h"
#include "storage/mod_ado.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

template <typename T>
T *nombrado(T *control, const char *nombre)
{
    control->setObjectName(QLatin1String(nombre));
    return control;
}

QLabel *etiqueta(const char *nombre, const QString &texto)
{
    return nombrado(new QLabel(texto), nombre);
}

QPushButton *boton(const char *nombre, const QString &texto)
{
    return nombrado(new QPushButton(texto), nombre);
}

// A text box with its spinner side by side.
QWidget *conSpinner(QLineEdit *caja, UpDown *spinner)
{
    auto *fila = new QWidget;
    auto *capa = new QHBoxLayout(fila);
    capa->setContentsMargins(0, 0, 0, 0);
    capa->setSpacing(0);
    capa->addWidget(caja);
    capa->addWidget(spinner);
    return fila;
}

// The mark of a terminal's state: a coloured dot that reads at a glance.
QIcon marca(Estado::Marca m)
{
    const QColor colores[] = {Qt::gray, QColor(0x2e, 0x9d, 0x3c), QColor(0xd0, 0x21, 0x21)};
    QPixmap punto(12, 12);
    punto.fill(Qt::transparent);
    QPainter p(&punto);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(colores[int(m)]);
    p.setPen(Qt::NoPen);
    p.drawEllipse(1, 1, 10, 10);
    return QIcon(punto);
}

} // namespace

void Form1::ConstruirVentana()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("KALVEROSTIN ver 1.5"));

    auto *menu = menuBar()->addMenu(QStringLiteral("Archivo"));
    menu->setObjectName(QStringLiteral("Archivo"));
    auto *ver = menu->addAction(QStringLiteral("Ver marcajes..."));
    ver->setObjectName(QStringLiteral("VerMarcajes"));
    connect(ver, &QAction::triggered, this, &Form1::VerMarcajes_Click);
    menu->addSeparator();
    auto *salir = menu->addAction(QStringLiteral("Salir"));
    salir->setObjectName(QStringLiteral("Salir"));
    connect(salir, &QAction::triggered, this, &Form1::Salir_Click);

    auto *central = new QWidget;
    auto *principal = new QHBoxLayout(central);

    // Left column: terminals and database.
    auto *izquierda = new QVBoxLayout;
    izquierda->addWidget(etiqueta("Label2", QStringLiteral("Terminales")));
    List2 = nombrado(new QListWidget, "List2");
    List2->setSortingEnabled(false);
    izquierda->addWidget(List2);
    // The selected terminal's status in words; every line's in its tooltip.
    EstadoTerminal = etiqueta("EstadoTerminal", QString());
    EstadoTerminal->setWordWrap(true);
    EstadoTerminal->setTextInteractionFlags(Qt::TextSelectableByMouse);
    izquierda->addWidget(EstadoTerminal);
    connect(List2, &QListWidget::currentRowChanged, this, [this] { PintarDetalle(); });
    Command8 = boton("Command8", QStringLiteral("Añadir terminal..."));
    Command9 = boton("Command9", QStringLiteral("Modificar terminal..."));
    Command10 = boton("Command10", QStringLiteral("Eliminar terminal..."));
    for (auto *b : {Command8, Command9, Command10})
        izquierda->addWidget(b);
    auto *filaBd = new QHBoxLayout;
    filaBd->addWidget(etiqueta("Label7", QStringLiteral("Base Datos:")));
    Text4 = nombrado(new QLineEdit, "Text4");
    Text4->setReadOnly(true);
    filaBd->addWidget(Text4, 1);
    Command11 = boton("Command11", QStringLiteral("..."));
    Command11->setMaximumWidth(32);
    filaBd->addWidget(Command11);
    izquierda->addLayout(filaBd);
    principal->addLayout(izquierda, 1);

    // Middle column: the three frames.
    auto *centro = new QVBoxLayout;

    auto *Frame1 = nombrado(new QGroupBox(QStringLiteral("Marcajes")), "Frame1");
    auto *c1 = new QGridLayout(Frame1);
    Text1 = nombrado(new QLineEdit, "Text1");
    UpDown1 = nombrado(new UpDown(Text1, 0, 1440), "UpDown1");
    c1->addWidget(etiqueta("Label4", QStringLiteral("Leer cada: ")), 0, 0);
    c1->addWidget(conSpinner(Text1, UpDown1), 0, 1);
    c1->addWidget(etiqueta("Label3", QStringLiteral("Min.")), 0, 2);
    Command1 = boton("Command1", QStringLiteral("Leer..."));
    Command12 = boton("Command12", QStringLiteral("Recuperar todos..."));
    c1->addWidget(Command1, 1, 0, 1, 3);
    c1->addWidget(Command12, 2, 0, 1, 3);
    centro->addWidget(Frame1);

    auto *Frame2 = nombrado(new QGroupBox(QStringLiteral("Fecha/hora")), "Frame2");
    auto *c2 = new QGridLayout(Frame2);
    Fecha1 = nombrado(new QDateTimeEdit, "Fecha1");
    Fecha2 = nombrado(new QDateTimeEdit, "Fecha2");
    for (auto *f : {Fecha1, Fecha2}) {
        f->setDisplayFormat(QStringLiteral("dd/MM/yy HH:mm"));
        f->setCalendarPopup(true);
    }
    c2->addWidget(etiqueta("Label5", QStringLiteral("Cuando sean las:")), 0, 0);
    c2->addWidget(Fecha1, 0, 1);
    c2->addWidget(etiqueta("Label1", QStringLiteral("Enviar las:")), 1, 0);
    c2->addWidget(Fecha2, 1, 1);
    Check1 = nombrado(new QCheckBox(QStringLiteral("Activar")), "Check1");
    c2->addWidget(Check1, 2, 0, 1, 2);
    Command3 = boton("Command3", QStringLiteral("Enviar..."));
    Command6 = boton("Command6", QStringLiteral("Leer..."));
    c2->addWidget(Command3, 3, 0);
    c2->addWidget(Command6, 3, 1);
    centro->addWidget(Frame2);

    auto *Frame3 = nombrado(new QGroupBox(QStringLiteral("Incidencias")), "Frame3");
    auto *c3 = new QGridLayout(Frame3);
    Text2 = nombrado(new QLineEdit(QStringLiteral("1")), "Text2");
    Text3 = nombrado(new QLineEdit(QStringLiteral("99")), "Text3");
    UpDown2 = nombrado(new UpDown(Text2, 1, 99), "UpDown2");
    UpDown3 = nombrado(new UpDown(Text3, 1, 99), "UpDown3");
    c3->addWidget(etiqueta("Label6", QStringLiteral("Incidencias:")), 0, 0);
    c3->addWidget(conSpinner(Text2, UpDown2), 0, 1);
    c3->addWidget(conSpinner(Text3, UpDown3), 0, 2);
    Command5 = boton("Command5", QStringLiteral("Enviar..."));
    Command4 = boton("Command4", QStringLiteral("Leer..."));
    Command7 = boton("Command7", QStringLiteral("Asegurar..."));
    c3->addWidget(Command5, 1, 0);
    c3->addWidget(Command4, 1, 1);
    c3->addWidget(Command7, 1, 2);
    centro->addWidget(Frame3);

    Check2 = nombrado(new QCheckBox(QStringLiteral("Auto-arranque con Windows")), "Check2");
    centro->addWidget(Check2);
    centro->addStretch();
    principal->addLayout(centro);

    // Right column: the log.
    auto *derecha = new QVBoxLayout;
    List1 = nombrado(new QListWidget, "List1");
    List1->setSortingEnabled(false);
    // Wide enough for a whole error line with its reason.
    List1->setMinimumWidth(List1->fontMetrics().horizontalAdvance(
        QStringLiteral("00/00/00 00:00:00, error en comunicaciones, terminal Nombre del terminal "
                       "[no se puede conectar con el equipo remoto: conexión rechazada]")));
    derecha->addWidget(List1);
    Command2 = boton("Command2", QStringLiteral("Limpiar"));
    derecha->addWidget(Command2);
    principal->addLayout(derecha, 2);

    setCentralWidget(central);
    resize(sizeHint().expandedTo(QSize(1100, 600)));
    barra_ = nombrado(new QProgressBar, "Progreso");
    barra_->setMaximumWidth(200);
    barra_->hide();
    statusBar()->addPermanentWidget(barra_);

    Timer1 = nombrado(new QTimer(this), "Timer1");
    Timer2 = nombrado(new QTimer(this), "Timer2");
    Timer1->setInterval(1000);
    Timer2->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);

    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
    connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
    connect(Command8, &QPushButton::clicked, this, &Form1::Command8_Click);
    connect(Command9, &QPushButton::clicked, this, &Form1::Command9_Click);
    connect(Command10, &QPushButton::clicked, this, &Form1::Command10_Click);
    connect(Command11, &QPushButton::clicked, this, &Form1::Command11_Click);
    connect(Command12, &QPushButton::clicked, this, &Form1::Command12_Click);
    // Like a click, these also run when the program changes the box.
    connect(Check1, &QCheckBox::toggled, this, &Form1::Check1_Click);
    connect(Check2, &QCheckBox::toggled, this, &Form1::Check2_Click);
    connect(Text1, &QLineEdit::textChanged, this, &Form1::Text1_Change);
    connect(Fecha1, &QDateTimeEdit::dateTimeChanged, this, [this] { GuardarCambioHora(); });
    connect(Fecha2, &QDateTimeEdit::dateTimeChanged, this, [this] { GuardarCambioHora(); });
    Text2->installEventFilter(this);
    Text3->installEventFilter(this);
}

void Form1::PintarEstados(const QString &solo)
{
    const int n = std::min<qsizetype>(List2->count(), Terminales.size());
    for (int i = 0; i < n; ++i) {
        const QString clave = ClaveTerminal(Terminales[i]);
        if (!solo.isEmpty() && clave != solo)
            continue;
        const MOD_ado::EstadoTerminal e = estados_.value(clave);
        const Estado::Marca m = Estado::MarcaDe(e);
        QListWidgetItem *linea = List2->item(i);
        linea->setIcon(marca(m));
        linea->setData(RolMarca, int(m));
        linea->setToolTip(Estado::TextoEstado(e));
    }
    PintarDetalle();
}

void Form1::PintarDetalle()
{
    const QListWidgetItem *linea = List2->currentItem();
    EstadoTerminal->setText(linea ? linea->toolTip() : QString());
}

void Form1::MostrarProgreso(const QString &texto, int valor, int maximo)
{
    if (texto.isEmpty())
        statusBar()->clearMessage();
    else
        statusBar()->showMessage(texto);
    if (maximo > 0 && !texto.isEmpty()) {
        barra_->setMaximum(maximo);
        barra_->setValue(std::min(valor, maximo));
        barra_->show();
    } else {
        barra_->hide();
    }
}
