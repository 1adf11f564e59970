#include "registro.h"

#include <algorithm>
#include <iterator>

bool EsLineaDeError(const QString &linea)
{
    static const QLatin1String marcas[] = {
        QLatin1String(", error en comunicaciones, "),
        QLatin1String(", error en base de datos, "),
        QLatin1String(", marcaje rechazado por la base de datos"),
        QLatin1String("ERROR"),
    };
    return linea.startsWith(QLatin1String("Error"))
           || std::any_of(std::begin(marcas), std::end(marcas), [&](QLatin1String m) { return linea.contains(m); });
}
