#pragma once
// A statement run on a connection of the test's own, beside the program's:
// an SQLite file (also the one behind an .mdb name) or a postgresql:// address.

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QUrl>
#include <QVariantList>

// Each row, its columns joined by '|'; or a single row "error: " and why.
inline QStringList consultar(const QString &ruta, const QString &sentencia, const QVariantList &valores = {})
{
    QStringList filas;
    {
        const QUrl u(ruta);
        const bool pg = u.scheme() == QLatin1String("postgresql");
        QSqlDatabase db = QSqlDatabase::addDatabase(pg ? "QPSQL" : "QSQLITE", "consulta");
        db.setDatabaseName(pg ? u.path().mid(1) : ruta);
        db.setHostName(u.host());
        db.setPort(u.port(5432));
        db.setUserName(u.userName());
        db.setPassword(u.password(QUrl::FullyDecoded));
        const bool abierta = db.open();
        QSqlQuery q(db);
        bool ok = abierta && (valores.isEmpty() ? q.exec(sentencia) : q.prepare(sentencia)); // the server prepares no DDL
        for (const QVariant &v : valores)
            q.addBindValue(v);
        ok = ok && (valores.isEmpty() || q.exec());
        while (ok && q.next()) {
            QStringList columnas;
            for (int i = 0; i < q.record().count(); ++i)
                columnas << q.value(i).toString();
            filas << columnas.join(u'|');
        }
        if (!ok)
            filas = {"error: " + (abierta ? q.lastError() : db.lastError()).text()};
    }
    QSqlDatabase::removeDatabase("consulta");
    return filas;
}
