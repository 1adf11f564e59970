#pragma once
// The terminal editor: adds a terminal (ModoEdicion 1) or changes the one
// selected in the main window's list (ModoEdicion 2).

#include <QDialog>

class Form1;
class QComboBox;
class QLineEdit;
class QPushButton;
class UpDown;

class Form2 : public QDialog {
    Q_OBJECT
public:
    explicit Form2(Form1 *principal);

public slots:
    void Combo1_Click();
    void Command1_Click();
    void Command2_Click();
    void Text1_Validate();
    void Text4_Validate();

protected:
    bool eventFilter(QObject *objeto, QEvent *evento) override;

private:
    void Form_Load();
    void PintarFondo(QLineEdit *caja, bool editable);

    Form1 *principal_;
    int indice_ = -1; // the terminal being changed
    QLineEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QLineEdit *Text3 = nullptr;
    QLineEdit *Text4 = nullptr;
    QComboBox *Combo1 = nullptr;
    UpDown *UpDown1 = nullptr;
    UpDown *UpDown2 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
};
