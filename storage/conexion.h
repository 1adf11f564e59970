#pragma once
// A connection to the attendance database: how each backend is opened, the
// schema made once per process, identifiers quoted, write transactions and
// the statements kept for reuse. What differs per backend is in dialecto.h.

#include "storage/dialecto.h"
#include "storage/mod_ado.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSet>
#include <map>
#include <memory>

class QSqlQuery;

namespace MOD_ado {

// The text of a database error, in the database's own words when it gave any.
QString textoError(const QSqlError &e);

// The ODBC driver that opens .mdb/.accdb paths, and the connection-string
// keyword that names the file. Tests point it at another driver (for example
// SQLite's, whose keyword is Database) to run the same ODBC code; an empty
// name restores the Access driver.
void fijarControladorOdbc(const QString &controlador, const QString &claveArchivo = QStringLiteral("DBQ"));
QString controladorOdbc();

// Where a missing SQLite file may be created (with its folder and tables):
// anywhere while no path is set; once one is (the program's own default
// database), only there, so a configured database that has gone missing is
// an error rather than a new empty file.
void fijarBaseCreable(const QString &ruta);

// One connection for one operation, opened on the calling thread under a
// name of its own; closed and removed when the object goes away. Declare it
// before any QSqlQuery that uses it, so the queries are gone first.
class Conexion {
public:
    // With prepararTablas the missing tables are created even in an existing
    // database; a missing SQLite file (and its folder) is created with its
    // tables where fijarBaseCreable allows. Access databases are never given tables: they come with them.
    explicit Conexion(const CadenaConexion &cc, bool prepararTablas = false);
    ~Conexion();
    Conexion(const Conexion &) = delete;
    Conexion &operator=(const Conexion &) = delete;

    const QString &error() const { return error_; } // empty when open
    QSqlDatabase &db() { return db_; }
    const Dialecto &dialecto() const { return *d_; }

    // The statement with every {Nombre} replaced by that identifier quoted for
    // this backend, so mixed-case names keep their case on PostgreSQL.
    QString sql(const QString &plantilla) const;

    // Starts a write transaction, with the write lock where the backend takes one.
    QString empezarEscritura();
    // Inside a transaction: makes every other writer of this terminal's
    // punches wait until this transaction ends, where the transaction does
    // not already hold the whole database.
    QString bloquearMarcajes(int numeroTerminal);
    QString confirmar();
    void deshacer();

    // The statement prepared once for this connection and reused: on a server
    // every prepare is a round trip of its own. Bind by position and finish()
    // it after use. nullptr, with error set, when it cannot be prepared.
    QSqlQuery *preparada(const QString &sql, QString &error);
    // The program's own tables (cursors, status), created or completed when
    // missing, once per connection; an error where they cannot be kept.
    QString prepararTablasPropias();
    // Runs the statement once in this connection's life. Call it outside a
    // transaction: a rollback would undo what is then taken as done.
    QString unaVez(const QString &sql);

private:
    bool abrirSQLite(const CadenaConexion &cc, bool &nueva);
    bool abrirPostgreSQL(const CadenaConexion &cc);
    bool abrirAccess(const CadenaConexion &cc);
    bool registrar(const QString &controlador);
    // The schema and the program's own tables, or only the latter; what
    // exists is left alone.
    QString crearTablas(bool soloPropias = false);
    QString quitarExistentes(QStringList &sentencias, QList<ColumnaNueva> &columnas);

    const Dialecto *d_;
    QString nombre_;
    QSqlDatabase db_;
    QString error_;
    std::map<QString, std::unique_ptr<QSqlQuery>> preparadas_;
    QSet<QString> hechas_;
};

} // namespace MOD_ado
