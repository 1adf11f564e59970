#include "tools/importar/lectura_mdb.h"

#include <QProcess>

namespace {

struct Campo {
    QString texto;
    bool entreComillas = false;
};

} // namespace

std::optional<QVector<FilaMdb>> leerCsvMdb(const QString &texto, QString &error)
{
    QVector<QVector<Campo>> filas;
    QVector<Campo> fila;
    Campo campo;
    bool dentro = false;   // inside a quoted text
    bool empezado = false; // the current row has any character
    for (qsizetype i = 0; i < texto.size(); ++i) {
        const QChar c = texto[i];
        if (dentro) {
            if (c != u'"')
                campo.texto += c;
            else if (i + 1 < texto.size() && texto[i + 1] == u'"')
                campo.texto += texto[++i];
            else
                dentro = false;
            continue;
        }
        if (c == u'"') {
            dentro = campo.entreComillas = empezado = true;
        } else if (c == u',') {
            fila << std::exchange(campo, {});
            empezado = true;
        } else if (c == u'\n' || c == u'\r') {
            if (empezado) {
                fila << std::exchange(campo, {});
                filas << std::exchange(fila, {});
            }
            empezado = false;
        } else {
            campo.texto += c;
            empezado = true;
        }
    }
    if (dentro) {
        error = QStringLiteral("el texto exportado termina dentro de un valor entre comillas");
        return std::nullopt;
    }
    if (empezado) {
        fila << campo;
        filas << fila;
    }
    if (filas.isEmpty()) {
        error = QStringLiteral("la exportación no trae la fila de nombres de columna");
        return std::nullopt;
    }

    QStringList columnas;
    for (const Campo &c : std::as_const(filas[0]))
        columnas << c.texto.trimmed().toLower();
    QVector<FilaMdb> resultado;
    for (qsizetype f = 1; f < filas.size(); ++f) {
        if (filas[f].size() != columnas.size()) {
            error = QStringLiteral("la fila %1 tiene %2 valores y hay %3 columnas")
                        .arg(f).arg(filas[f].size()).arg(columnas.size());
            return std::nullopt;
        }
        FilaMdb r;
        for (qsizetype k = 0; k < columnas.size(); ++k) {
            const Campo &c = filas[f][k];
            if (c.entreComillas || !c.texto.isEmpty())
                r.insert(columnas[k], c.texto);
            else
                r.insert(columnas[k], std::nullopt);
        }
        resultado << r;
    }
    return resultado;
}

std::optional<QVector<FilaMdb>> leerTablaMdb(const QString &archivo, const QString &tabla, QString &error)
{
    const QString formato = QStringLiteral("%Y-%m-%d %H:%M:%S");
    QProcess p;
    p.start(QStringLiteral("mdb-export"), {QStringLiteral("-D"), formato, QStringLiteral("-T"), formato, archivo, tabla});
    if (!p.waitForStarted(-1)) {
        error = QStringLiteral("No se puede ejecutar mdb-export (paquete mdbtools): %1").arg(p.errorString());
        return std::nullopt;
    }
    p.closeWriteChannel();
    p.waitForFinished(-1);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        const QString motivo = QString::fromUtf8(p.readAllStandardError()).trimmed();
        error = QStringLiteral("No se puede leer la tabla %1 de %2: %3")
                    .arg(tabla, archivo, motivo.isEmpty() ? QStringLiteral("mdb-export ha fallado") : motivo);
        return std::nullopt;
    }
    QString e;
    auto filas = leerCsvMdb(QString::fromUtf8(p.readAllStandardOutput()), e);
    if (!filas)
        error = QStringLiteral("No se puede leer la tabla %1 de %2: %3").arg(tabla, archivo, e);
    return filas;
}
