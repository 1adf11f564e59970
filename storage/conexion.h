#pragma once
// The one place that knows the database backends: which one a path selects,
// how a connection is opened, the schema of a new file and how a write
// transaction takes its lock.

#include "mod_ado.h"

#include <QSqlDatabase>
#include <QSqlError>

namespace MOD_ado {

enum class Motor { SQLite, Access, PostgreSQL };
Motor motorDe(const QString &ruta);

// The text of a database error, in the database's own words when it gave any.
QString textoError(const QSqlError &e);

// One connection for one operation, opened on the calling thread under a
// name of its own; closed and removed when the object goes away. Declare it
// before any QSqlQuery that uses it, so the queries are gone first.
class Conexion {
public:
    // With prepararTablas the missing tables are created even in an existing file;
    // a missing SQLite file (and its folder) is always created with its tables.
    explicit Conexion(const CadenaConexion &cc, bool prepararTablas = false);
    ~Conexion();
    Conexion(const Conexion &) = delete;
    Conexion &operator=(const Conexion &) = delete;

    const QString &error() const { return error_; } // empty when open
    QSqlDatabase &db() { return db_; }

    // Starts a transaction that holds the write lock from its first statement,
    // waiting for another writer up to the busy timeout.
    QString empezarEscritura();
    QString confirmar();
    void deshacer();

private:
    QString crearTablas();

    QString nombre_;
    QSqlDatabase db_;
    QString error_;
};

} // namespace MOD_ado
