#include "shell/nucleo/registro.h"

#include <QDateTime>

#include <utility>

LineaRegistro LineaDeResultado(bool ok, QString texto)
{
    return {std::move(texto), ok ? Gravedad::Informacion : Gravedad::Error};
}

QString Ahora()
{
    return QDateTime::currentDateTime().toString(kFormatoFechaHora);
}
