#pragma once
// The terminal editor: shows a terminal to be changed, or defaults for a new
// one, and hands back what the operator typed; the caller stores it.

#include "common/terminal.h"

#include <QDialog>
#include <QVector>
#include <optional>

class QComboBox;
class QLineEdit;
class QPushButton;
class UpDown;

class Form2 : public QDialog {
    Q_OBJECT
public:
    // The boxes' texts, as the terminal table takes them, and the time zone
    // chosen (an IANA id; empty: the computer's).
    struct Valores {
        QString codigo, descripcion, IP, tipo, Com, zona;
    };

    // terminales: the stored rows, for the warning about a code already in
    // use. zona: the terminal's; nullopt where the database cannot keep one.
    Form2(const std::optional<TerminalRecord> &terminal, const QVector<TerminalRecord> &terminales,
          const std::optional<QString> &zona = QString(), QWidget *parent = nullptr);
    // After "Grabar" (the dialog accepted).
    Valores valores() const;

public slots:
    void Combo1_Click();
    void Command1_Click();
    void Command2_Click();
    void Text1_Validate();
    void Text4_Validate();

protected:
    bool eventFilter(QObject *objeto, QEvent *evento) override;

private:
    void Form_Load(const std::optional<TerminalRecord> &terminal);
    void PintarFondo(QLineEdit *caja, bool editable);
    bool CodigoAceptado();

    QVector<TerminalRecord> otros_; // every row but the one being changed

    QLineEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLineEdit *Text3 = nullptr;
    QLineEdit *Text4 = nullptr;
    QComboBox *Combo1 = nullptr;
    QComboBox *Combo2 = nullptr;
    UpDown *UpDown1 = nullptr;
    UpDown *UpDown2 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
};
