#pragma once
// The punch viewer: the punches of marcajes, newest first, filtered by
// terminal and by a range of days, with their count and an export of the
// filtered rows to CSV, for a spreadsheet or for other programs.
// Its database connection lives on the window's thread as long as the window.

#include "shell/nucleo/modelo_marcajes.h"
#include "storage/mod_ado.h"

#include <QWidget>
#include <functional>

class QComboBox;
class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;

// Where the export goes and in which format; an empty archivo = cancelled.
struct DestinoCsv {
    QString archivo;
    FormatoCsv formato = FormatoCsv::HojaCalculo;
};

class FormMarcajes : public QWidget {
    Q_OBJECT
public:
    // terminales fills the terminal filter; the window deletes itself when closed.
    FormMarcajes(const MOD_ado::CadenaConexion &cc, const QVector<TerminalRecord> &terminales,
                 QWidget *parent = nullptr);
    ~FormMarcajes() override;

    // Chooses the CSV file and its format; tests replace it.
    std::function<DestinoCsv()> ElegirArchivoCsv;

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
    QLabel *Total = nullptr;
    QLabel *Estado = nullptr;
};
