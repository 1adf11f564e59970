#pragma once
// Everything that differs from one database backend to another, as one table
// per backend (dialecto.cpp fills them): its schema, how a write transaction
// and a terminal's lock are taken, how a row that updates on a key clash is
// written, how a date is bound, how a refused row is recognised and what of
// its path must not be shown. The connection (conexion.cpp) opens each one;
// the rest of the storage code asks the table and never names a backend.
// Adding a backend is a new table here and its opening in the connection.

#include "storage/mod_ado.h"

#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <span>

namespace MOD_ado {

enum class Motor { SQLite, Access, PostgreSQL };

struct Dialecto {
    Motor motor;
    // Whether a path names this backend; the tables are asked in order, the
    // last one takes any path.
    bool (*reconoce)(const QString &ruta);
    // A file on disk, which can vanish under an open connection; punches it
    // refuses are set aside beside it (a server's go to the user's data).
    bool esArchivo;

    // Schema of a new database, created in one transaction after `antesDeTablas`;
    // no tables: the database comes with them and is never given any.
    std::span<const char *const> tablas;
    QStringList antesDeTablas;
    // Whether the program's own tables (cursors, leases, status) can be kept;
    // on a server they are made with the schema when this process first
    // connects, under the creation lock, never by several lanes at once.
    bool tablasPropias;
    bool tablasPropiasAlConectar;
    // Adds a column to an older table: "%1" table, "%2" column, "%3" type;
    // unless the statement itself skips a column already there, the column
    // is looked for first.
    const char *anadirColumna;
    bool anadeSoloSiFalta;
    // Of the rows given in %1 as ('relation', 'column' or ''), those missing;
    // null where creating what exists needs no privilege and costs nothing.
    const char *faltan;
    // The error code of a statement refused for want of a privilege.
    const char *sinPermiso;

    // A write transaction: a statement that takes the write lock at once
    // (committed and undone by statements too), or the driver's transaction.
    const char *empezarEscritura;
    // Inside a transaction, makes other writers of one terminal's punches
    // wait (bound: the terminal); none where the transaction holds the whole database.
    QString bloqueoMarcajes;
    // Prepared statements survive a commit.
    bool preparadasDuranteLaSesion;

    // One download per terminal at a time among collectors: a session lock
    // (bound: the terminal's key, at every ?), which the server frees with
    // the connection, or, where the database has none, a lease row. The lock
    // statement may also give the terminal's cursor (position, guard) as
    // its second and third columns.
    QString tomarTerminal, soltarTerminal;

    // "column equals value, or both are NULL", %1 the column; the value is
    // bound `vecesValorNulo` times.
    const char *igualONulo;
    int vecesValorNulo;
    // Where batches pass through a session table (made once per connection,
    // rows numbered by `orden`) and are stored by one statement that leaves
    // out what marcajes already holds; empty: punch by punch.
    QString tablaLote, moverLote;
    // "INSERT INTO %1 (%2) VALUES (%3) <on a clash of key %4, set %5>"; in the
    // assignments, {nuevo.X} is the value the statement brought for column X.
    const char *insertarOActualizar;
    const char *valorNuevo;
    // Makes a connection refuse writes (the punch viewer's), when it can.
    const char *soloLectura;

    // A wall-clock date-time as this backend compares it with the stored ones,
    // and the column read back as text (a driver's date-time would go through
    // the local zone, where an hour a daylight-saving change skips is invalid).
    QVariant (*valorFecha)(const QDateTime &fh);
    const char *fechaComoTexto;
    // An error that belongs to the row (a constraint, a type, a trigger's veto)
    // rather than to the database, which then fails every write alike.
    bool (*esRechazoDeFila)(const QSqlError &e);
    // The path as it may be shown, and the texts of a connection that must
    // never be (passwords).
    QString (*paraMostrar)(const QString &ruta);
    QStringList (*secretos)(const CadenaConexion &cc);
    // What the path leaves unprotected, for a warning at start; empty when nothing.
    QString (*avisoSeguridad)(const QString &ruta);

    QString upsert(const QString &tabla, const QString &columnas, const QString &valores, const QString &clave,
                   QString asignaciones) const;
};

const Dialecto &dialectoDe(const QString &ruta);
inline Motor motorDe(const QString &ruta) { return dialectoDe(ruta).motor; }

// The columns of marcajes that a punch fills, in the order they are bound.
extern const QString kColumnasMarcajes;

// The program's own tables and the columns added to them since they were first made.
extern const std::span<const char *const> kTablasPropias;
struct ColumnaNueva { const char *tabla, *columna, *tipo; };
extern const std::span<const ColumnaNueva> kColumnasNuevas;

// A wall-clock date-time in the stored text form, yyyy-MM-dd HH:mm:ss.
QString textoFecha(const QDateTime &fh);

} // namespace MOD_ado
