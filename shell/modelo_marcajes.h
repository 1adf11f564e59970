#pragma once
// The punches of the attendance database as the viewer lists them: newest
// first, filtered by terminal and by a range of whole days. Rows are fetched
// as the view scrolls, so a table of millions opens at once.

#include "mod_ado.h"

#include <QDate>
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

class ModeloMarcajes : public QSqlQueryModel {
    Q_OBJECT
public:
    // Opens a connection of its own on the calling thread, kept until the
    // model goes; nothing is written through it.
    explicit ModeloMarcajes(const MOD_ado::CadenaConexion &cc, QObject *parent = nullptr);
    ~ModeloMarcajes() override;

    // Why the database could not be opened; empty when open.
    QString errorConexion() const;

    // Lists the punches of the filter. Returns the error description, empty on success.
    QString Filtrar(const FiltroMarcajes &filtro);

    // Writes every punch of the filter (not only the rows fetched so far) as
    // UTF-8 CSV with a header row. Returns the error description, empty on
    // success; *filas receives the number of punches written.
    QString ExportarCsv(QIODevice &destino, const FiltroMarcajes &filtro, qint64 *filas = nullptr) const;

    // "yyyy-MM-dd HH:mm:ss" for a date-time, the stored text otherwise.
    static QString TextoFecha(const QVariant &valor);
    // A CSV field: quoted, inner quotes doubled, when it holds , " or a line break.
    static QString CampoCsv(const QString &valor);

private:
    bool prepararConsulta(QSqlQuery &q, const FiltroMarcajes &filtro) const;

    std::unique_ptr<MOD_ado::Conexion> con_;
};
