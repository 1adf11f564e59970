#pragma once
// One download of a terminal into the database, as the polling run makes it
// (with a store of its own instead of the run's shared one).

#include "shell/nucleo/destino_base_datos.h"

inline quint8 LeerMarcajesEnBase(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal,
                                 const MOD_ado::CadenaConexion &cc, long &contador, quint8 modo,
                                 QString *errorBaseDatos = nullptr,
                                 const std::function<void(const MOD_comunicaciones_kora::ProgresoDescarga &)> &alAvanzar = {})
{
    MOD_ado::AlmacenMarcajes almacen(cc);
    DestinoBaseDatos destino(almacen, terminal);
    return MOD_comunicaciones_kora::LeerMarcajes(ctx, terminal, destino, contador, modo, errorBaseDatos, alAvanzar);
}
