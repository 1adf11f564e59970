// The main window's controls: built once, named as the rest of the program
// and the tests know them, and the marks that show each terminal's state.

#include "shell/ventana/form1.h"

#include "shell/nucleo/ciclo.h"
#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/estado_terminal.h"
#include "shell/ventana/updown.h"
#include "storage/mod_ado.h"
#include "ui_form1.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>

namespace {

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
    // The controls and their layout come from form1.ui; the log list has no
    // minimum width, so long lines scroll sideways and small screens fit.
    Ui::Form1 ui;
    ui.setupUi(this);
    List1 = ui.List1;
    List2 = ui.List2;
    Text1 = ui.Text1;
    Text2 = ui.Text2;
    Text3 = ui.Text3;
    Text4 = ui.Text4;
    UpDown1 = ui.UpDown1;
    UpDown2 = ui.UpDown2;
    UpDown3 = ui.UpDown3;
    Fecha1 = ui.Fecha1;
    Fecha2 = ui.Fecha2;
    Check1 = ui.Check1;
    Check2 = ui.Check2;
    Command1 = ui.Command1;
    Command2 = ui.Command2;
    Command3 = ui.Command3;
    Command4 = ui.Command4;
    Command5 = ui.Command5;
    Command6 = ui.Command6;
    Command7 = ui.Command7;
    Command8 = ui.Command8;
    Command9 = ui.Command9;
    Command10 = ui.Command10;
    Command11 = ui.Command11;
    Command12 = ui.Command12;
    EstadoTerminal = ui.EstadoTerminal;
    UpDown1->setBuddy(Text1);
    UpDown2->setBuddy(Text2);
    UpDown3->setBuddy(Text3);
    if (const QScreen *pantalla = screen())
        resize(size().boundedTo(pantalla->availableSize()));

    barra_ = new QProgressBar;
    barra_->setObjectName(QStringLiteral("Progreso"));
    barra_->setMaximumWidth(200);
    barra_->hide();
    statusBar()->addPermanentWidget(barra_);

    Timer1 = new QTimer(this);
    Timer2 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer1->setInterval(1000);
    Timer2->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);

    connect(ui.VerMarcajes, &QAction::triggered, this, &Form1::VerMarcajes_Click);
    connect(ui.Salir, &QAction::triggered, this, &Form1::Salir_Click);
    // The selected terminal's status in words under the list; every line's in its tooltip.
    connect(List2, &QListWidget::currentRowChanged, this, [this] { PintarDetalle(); });
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
