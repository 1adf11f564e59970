#pragma once
// The punches of the attendance database as the viewer lists them: newest
// first, filtered by terminal and by a range of whole days, the terminal by
// its name, entry/exit as a word, the incident by its description. Rows are
// fetched as the view scrolls, so a table of millions opens at once.

#include "storage/mod_ado.h"

#include <QDate>
#include <QHash>
#include <QSqlQueryModel>
#include <memory>
#include <optional>

class QIODevice;
namespace MOD_ado {
class Conexion;
}

struct FiltroMarcajes {
    std::optional<int> terminal; // numero_terminal; none = every terminal
    QDate desde, hasta;          // both days included
};

// HojaCalculo: what a spreadsheet in a Spanish locale opens directly (';',
// UTF-8 with BOM, the columns as the viewer shows them). Codigos: the raw
// columns, ',' and UTF-8 without BOM, as other programs already read it.
enum class FormatoCsv { HojaCalculo, Codigos };


class ModeloMarcajes : public QSqlQueryModel {
    Q_OBJECT
public:
    // Opens a connection of its own on the calling thread, kept until the
    // model goes; nothing is written through it.
    explicit ModeloMarcajes(const MOD_ado::CadenaConexion &cc, QObject *parent = nullptr);
    ~ModeloMarcajes() override;

    // Why the database could not be opened; empty when open.
    QString errorConexion() const;

    // Lists the punches of the filter, rereading terminal names and incident
    // descriptions. Returns the error description, empty on success.
    QString Filtrar(const FiltroMarcajes &filtro);
    // Punches of the last filter, fetched or not.
    qint64 total() const { return total_; }

    // The readable text for display; other roles give the stored values.
    QVariant data(const QModelIndex &indice, int rol = Qt::DisplayRole) const override;

    // Writes every punch of the filter (not only the rows fetched so far)
    // with a header row. Returns the error description, empty on success;
    // *filas receives the number of punches written.
    QString ExportarCsv(QIODevice &destino, const FiltroMarcajes &filtro, FormatoCsv formato,
                        qint64 *filas = nullptr) const;

    // "yyyy-MM-dd HH:mm:ss" for a date-time, the stored text otherwise.
    static QString TextoFecha(const QVariant &valor);
    // A CSV field: quoted, inner quotes doubled, when it holds the separator,
    // " or a line break.
    static QString CampoCsv(const QString &valor, QChar separador = u',');
    // A field of the spreadsheet format: text that a spreadsheet would take
    // for a formula gets a leading apostrophe.
    static QString CampoHoja(const QString &valor);

private:
    bool prepararConsulta(QSqlQuery &q, const FiltroMarcajes &filtro, bool contar) const;
    QString texto(int columna, const QVariant &valor) const;
    void cargarNombres();

    std::unique_ptr<MOD_ado::Conexion> con_;
    QHash<int, QString> terminales_, incidencias_;
    qint64 total_ = 0;
};
