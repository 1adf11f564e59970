#pragma once
// Log lines: each carries, from where it is made, whether it reports a
// failure. The window sets failures apart and the service gives them the
// journal's error priority; neither reads it back from the text, which may
// hold any name an operator typed.

#include <QList>
#include <QMetaType>
#include <QString>

// The one format of dates and times in the window and its log.
inline const QString kFormatoFechaHora = QStringLiteral("dd/MM/yy HH:mm:ss");
// Now, in that format: how a log line begins.
QString Ahora();

enum class Gravedad { Informacion, Error };

struct LineaRegistro {
    QString texto;
    Gravedad gravedad = Gravedad::Informacion;
};
// Lines given together reach the log together.
using LineasRegistro = QList<LineaRegistro>;

// The line telling how an operation went: a failure unless ok.
LineaRegistro LineaDeResultado(bool ok, QString texto);

// Lines cross from the lanes' threads in queued signals.
Q_DECLARE_METATYPE(LineaRegistro)
