#pragma once
// The punch viewer: the punches of marcajes, newest first, filtered by
// terminal and by a range of days, with an export of the filtered rows to CSV.
// Its database connection lives on the window's thread as long as the window.

#include "mod_ado.h"

#include <QWidget>
#include <functional>

class QComboBox;
class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;
class ModeloMarcajes;
struct FiltroMarcajes;

class FormMarcajes : public QWidget {
    Q_OBJECT
public:
    // terminales fills the terminal filter; the window deletes itself when closed.
    FormMarcajes(const MOD_ado::CadenaConexion &cc, const QVector<TerminalRecord> &terminales,
                 QWidget *parent = nullptr);
    ~FormMarcajes() override;

    // Chooses the CSV file to write; tests replace it. Empty = cancelled.
    std::function<QString()> ElegirArchivoCsv;

    ModeloMarcajes *modelo() const { return modelo_; }

public slots:
    void Filtrar();
    void Exportar_Click();

private:
    FiltroMarcajes filtro() const;

    ModeloMarcajes *modelo_ = nullptr;
    QComboBox *Terminal = nullptr;
    QDateEdit *Desde = nullptr;
    QDateEdit *Hasta = nullptr;
    QTableView *Tabla = nullptr;
    QPushButton *Exportar = nullptr;
    QLabel *Estado = nullptr;
};
