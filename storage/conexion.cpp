#include "conexion.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QThread>
#include <atomic>

namespace MOD_ado {

namespace {

std::atomic<quint64> contadorConexiones{0};

// codigo and Tipo carry CHECKs so that no writer can store a value that the
// terminal loader would refuse (text, NULL, or beyond 16 bits).
constexpr const char *kTablas[] = {
    "CREATE TABLE IF NOT EXISTS terminales_1 ("
    "ID INTEGER PRIMARY KEY AUTOINCREMENT, "
    "codigo INTEGER CONSTRAINT codigo_entero CHECK (typeof(codigo) = 'integer' AND codigo BETWEEN -32768 AND 32767), "
    "descripcion TEXT, IP TEXT, "
    "Tipo INTEGER CONSTRAINT tipo_entero CHECK (typeof(Tipo) = 'integer' AND Tipo BETWEEN -32768 AND 32767), "
    "Com TEXT)",
    "CREATE TABLE IF NOT EXISTS marcajes ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, fechahora TEXT NOT NULL, numero_terminal INTEGER NOT NULL, "
    "codigo_incidencia INTEGER, entrada_salida INTEGER, tarjeta INTEGER, subcodigo INTEGER, "
    "tipo INTEGER, habilitado INTEGER)",
    "CREATE INDEX IF NOT EXISTS marcajes_terminal_fechahora ON marcajes (numero_terminal, fechahora)",
    "CREATE TABLE IF NOT EXISTS Incidencias (codigo INTEGER PRIMARY KEY, descripcion TEXT)",
};

} // namespace

Motor motorDe(const QString &ruta)
{
    if (ruta.endsWith(u".mdb", Qt::CaseInsensitive) || ruta.endsWith(u".accdb", Qt::CaseInsensitive))
        return Motor::Access;
    if (ruta.startsWith(u"postgresql://", Qt::CaseInsensitive))
        return Motor::PostgreSQL;
    return Motor::SQLite;
}

QString textoError(const QSqlError &e)
{
    if (!e.databaseText().isEmpty())
        return e.databaseText();
    return e.text().isEmpty() ? QStringLiteral("Error de la base de datos sin descripción.") : e.text();
}

Conexion::Conexion(const CadenaConexion &cc, bool prepararTablas)
{
    switch (motorDe(cc.RutaBaseDatos)) {
    case Motor::Access:
        error_ = QStringLiteral("Las bases de datos de Access (.mdb, .accdb) necesitan el controlador ODBC de "
                                "Access, que todavía no está disponible en esta plataforma.");
        return;
    case Motor::PostgreSQL:
        error_ = QStringLiteral("Las bases de datos PostgreSQL todavía no están disponibles en esta versión "
                                "del programa.");
        return;
    case Motor::SQLite:
        break;
    }

    if (cc.RutaBaseDatos.trimmed().isEmpty()) {
        error_ = QStringLiteral("No se ha indicado el archivo de la base de datos.");
        return;
    }
    // QSQLITE would create an empty file on its own; create it here, with its
    // tables (an empty file is one such creation left half done).
    const QFileInfo archivo(cc.RutaBaseDatos);
    const bool nueva = !archivo.exists() || archivo.size() == 0;
    if (nueva && !QDir().mkpath(archivo.absolutePath())) {
        error_ = QStringLiteral("No se puede crear la carpeta %1").arg(QDir::toNativeSeparators(archivo.absolutePath()));
        return;
    }

    nombre_ = QStringLiteral("MOD_ado_%1_%2")
                  .arg(quintptr(QThread::currentThreadId()))
                  .arg(contadorConexiones.fetch_add(1));
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), nombre_);
    db_.setDatabaseName(cc.RutaBaseDatos);
    db_.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db_.open()) {
        error_ = textoError(db_.lastError());
        return;
    }
    {
        QSqlQuery q(db_);
        // A file that cannot switch to WAL right now still works with its rollback journal.
        q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        if (!q.exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
            error_ = textoError(q.lastError());
            return;
        }
    }
    if (nueva || prepararTablas)
        error_ = crearTablas();
}

Conexion::~Conexion()
{
    if (nombre_.isEmpty())
        return;
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(nombre_);
}

QString Conexion::crearTablas()
{
    if (QString e = empezarEscritura(); !e.isEmpty())
        return e;
    QSqlQuery q(db_);
    for (const char *sql : kTablas) {
        if (!q.exec(QString::fromLatin1(sql))) {
            const QString e = textoError(q.lastError());
            q.finish();
            deshacer();
            return e;
        }
    }
    return confirmar();
}

QString Conexion::empezarEscritura()
{
    QSqlQuery q(db_);
    return q.exec(QStringLiteral("BEGIN IMMEDIATE")) ? QString() : textoError(q.lastError());
}

QString Conexion::confirmar()
{
    QSqlQuery q(db_);
    if (q.exec(QStringLiteral("COMMIT")))
        return {};
    const QString e = textoError(q.lastError());
    deshacer();
    return e;
}

void Conexion::deshacer()
{
    QSqlQuery(db_).exec(QStringLiteral("ROLLBACK"));
}

} // namespace MOD_ado
