#pragma once
// What the storage sources share and nobody else sees.

#include "storage/conexion.h"
#include "storage/mod_ado.h"

#include <QSqlError>
#include <QSqlQuery>

namespace MOD_ado {

// Prepares, binds and runs one statement; the error of a failed prepare is kept
// (a later exec would replace it with a less useful one).
QString ejecutar(QSqlQuery &q, const QString &sql, const QVariantList &valores);

// Runs the connection's reused statement with these values; the caller reads
// its rows, if any, and finishes it. On failure error is set and the
// statement (when it was prepared) still holds the database's error.
QSqlQuery *ejecutarPreparada(Conexion &con, const QString &sql, const QVariantList &valores, QString &error);

// Error texts leave this module without the password, whoever wrote them:
// each public operation hands back its error through here.
QString ocultarClave(const CadenaConexion &cc, QString texto);

// The duplicate check and the insert of one punch, inside the caller's transaction.
ResultadoGrabacion grabarEn(Conexion &con, const Marcaje &m, QString &error, QSqlError *falloInsercion = nullptr);

// The same in a transaction of its own.
ResultadoGrabacion grabarEnTransaccion(Conexion &con, const Marcaje &m, QString &error);
// Ends a write transaction after its statements gave r: undone on a fault,
// committed otherwise (a failed commit is a fault too).
ResultadoGrabacion terminarEscritura(Conexion &con, ResultadoGrabacion r, QString &error);

// Whether batches go through the session table on this connection; call it
// outside a transaction. Elsewhere (or without the right to make the table)
// they go punch by punch, inside one transaction all the same.
bool loteEnServidor(Conexion &con);

struct EnTransaccion {
    int insertados = 0;
    QString error;   // empty when every punch was dealt with
    QSqlError fallo; // the error of the statement that wrote rows, when that failed
};

// A batch with the duplicate rule (against the table and within the batch),
// inside the caller's transaction.
EnTransaccion grabarLoteEn(Conexion &con, const QVector<Marcaje> &lote, bool enServidor);

} // namespace MOD_ado
