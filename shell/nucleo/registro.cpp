#include "shell/nucleo/registro.h"

#include <QDateTime>

#include <algorithm>
#include <iterator>

bool EsLineaDeError(const QString &linea)
{
    static const QLatin1String marcas[] = {
        QLatin1String(", error en comunicaciones, "),
        QLatin1String(", error en base de datos, "),
        QLatin1String(", marcaje rechazado por la base de datos"),
        QLatin1String(", error al ejecutar la orden de alerta"),
        QLatin1String("ERROR"),
    };
    return linea.startsWith(QLatin1String("Error"))
           || std::any_of(std::begin(marcas), std::end(marcas), [&](QLatin1String m) { return linea.contains(m); });
}

QString Ahora()
{
    return QDateTime::currentDateTime().toString(kFormatoFechaHora);
}
