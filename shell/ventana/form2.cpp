#include "shell/ventana/form2.h"

#include "common/texto.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/ventana/updown.h"
#include "ui_form2.h"

#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimeZone>

namespace {

// The number a box begins with, rounded (huge texts stay comparable as doubles).
double numeroDe(const QLineEdit *caja)
{
    return redondearPar(valorNumerico(caja->text()));
}

} // namespace

Form2::Form2(const std::optional<TerminalRecord> &terminal, const QVector<TerminalRecord> &terminales,
             const std::optional<QString> &zona, QWidget *parent)
    : QDialog(parent)
{
    for (const TerminalRecord &t : terminales)
        if (!terminal || t.ID != terminal->ID)
            otros_.append(t);
    // Enter in a box must not save, only "Grabar" does: the form turns autoDefault off.
    Ui::Form2 ui;
    ui.setupUi(this);
    Text1 = ui.Text1;
    Text2 = ui.Text2;
    Text3 = ui.Text3;
    Text4 = ui.Text4;
    Combo1 = ui.Combo1;
    Combo2 = ui.Combo2;
    UpDown1 = ui.UpDown1;
    UpDown2 = ui.UpDown2;
    Command1 = ui.Command1;
    Command2 = ui.Command2;
    UpDown1->setBuddy(Text1);
    UpDown2->setBuddy(Text4);
    connect(Combo1, &QComboBox::currentIndexChanged, this, &Form2::Combo1_Click);
    connect(Command1, &QPushButton::clicked, this, &Form2::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form2::Command2_Click);
    Text1->installEventFilter(this);
    Text4->installEventFilter(this);

    Form_Load(terminal);

    // The computer's zone first, stored as none: the terminal follows the computer wherever it goes.
    Combo2->addItem(QStringLiteral("La del equipo (%1)").arg(QString::fromUtf8(QTimeZone::systemTimeZoneId())),
                    QString());
    for (const QByteArray &id : QTimeZone::availableTimeZoneIds())
        Combo2->addItem(QString::fromUtf8(id), QString::fromUtf8(id));
    Combo2->setCurrentIndex(std::max(0, Combo2->findData(zona.value_or(QString()))));
    Combo2->setEnabled(zona.has_value());
    if (!zona)
        Combo2->setToolTip(QStringLiteral("Esta base de datos no guarda la zona de cada terminal"));
}

void Form2::Form_Load(const std::optional<TerminalRecord> &t)
{
    if (t) {
        Text1->setText(QString::number(t->codigo));
        Text2->setText(t->descripcion);
        Text3->setText(t->IP);
        Combo1->setCurrentIndex(t->Tipo >= 0 && t->Tipo <= 2 ? t->Tipo : 0);
        Text4->setText(QString::number(t->Com));
    } else {
        Text1->setText(QStringLiteral("1"));
        Text4->setText(QStringLiteral("1"));
        Combo1->setCurrentIndex(0);
    }
    // Setting the index applies the link-type rule as a choice would; the
    // combo starts at 0, so make sure it ran at least once.
    Combo1_Click();
}

void Form2::PintarFondo(QLineEdit *caja, bool editable)
{
    QPalette paleta = caja->palette();
    paleta.setColor(QPalette::Base, editable ? QColor(Qt::white) : palette().color(QPalette::Button));
    caja->setPalette(paleta);
    caja->setEnabled(editable);
}

void Form2::Combo1_Click()
{
    const bool ethernet = Combo1->currentIndex() == 2;
    if (!ethernet)
        Text3->clear();
    PintarFondo(Text3, ethernet);
    PintarFondo(Text4, !ethernet);
    UpDown2->setEnabled(!ethernet);
}

bool Form2::eventFilter(QObject *objeto, QEvent *evento)
{
    if (evento->type() == QEvent::FocusOut) {
        if (objeto == Text1)
            Text1_Validate();
        else if (objeto == Text4)
            Text4_Validate();
    }
    return QDialog::eventFilter(objeto, evento);
}

void Form2::Text1_Validate()
{
    const double codigo = numeroDe(Text1);
    Text1->setText(QString::number(codigo > 128 || codigo < 1 ? 1 : int(codigo)));
}

void Form2::Text4_Validate()
{
    const double com = std::clamp(numeroDe(Text4), 1.0, 16.0);
    Text4->setText(QString::number(int(com)));
}

void Form2::Command1_Click()
{
    if (Text2->text().isEmpty()) {
        QMessageBox::critical(this, MOD_variables::TituloAplicacion, QStringLiteral("El terminal debe tener un nombre"));
        Text2->setFocus();
        return;
    }
    // The boxes are checked when left; a box still holding the focus is checked here.
    Text1_Validate();
    Text4_Validate();
    if (!CodigoAceptado())
        return;
    accept();
}

// Punches are stored under the code alone, so rows sharing it mix theirs:
// the operator is warned but may go on (e.g. while renumbering).
bool Form2::CodigoAceptado()
{
    const int codigo = Text1->text().toInt();
    QStringList nombres;
    for (const TerminalRecord &t : std::as_const(otros_))
        if (t.codigo == codigo)
            nombres << t.descripcion;
    if (nombres.isEmpty())
        return true;
    const bool uno = nombres.size() == 1;
    const QString texto =
        QStringLiteral("El código %1 ya %2 %3. Los marcajes de %4 se guardarán con el mismo número de terminal. "
                       "¿Guardar de todos modos?")
            .arg(QString::number(codigo),
                 uno ? QStringLiteral("lo usa el terminal") : QStringLiteral("lo usan los terminales"),
                 nombres.join(QStringLiteral(", ")), uno ? QStringLiteral("ambos") : QStringLiteral("todos"));
    if (QMessageBox::warning(this, MOD_variables::TituloAplicacion, texto, QMessageBox::Yes | QMessageBox::No,
                             QMessageBox::No) == QMessageBox::Yes)
        return true;
    Text1->setFocus();
    return false;
}

Form2::Valores Form2::valores() const
{
    return {Text1->text(), Text2->text(), Text3->text(), QString::number(Combo1->currentIndex()), Text4->text(),
            Combo2->currentData().toString()};
}

void Form2::Command2_Click()
{
    reject();
}
