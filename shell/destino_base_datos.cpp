#include "destino_base_datos.h"

#include <QDir>

using MOD_comunicaciones_kora::Marcaje;

QString ClaveTerminal(const TerminalRecord &t)
{
    const QString enlace = t.Tipo == 2 ? QStringLiteral("IP ") + t.IP.trimmed() : QStringLiteral("COM%1").arg(t.Com);
    return QStringLiteral("%1 #%2").arg(enlace).arg(t.codigo);
}

DestinoBaseDatos::DestinoBaseDatos(MOD_ado::AlmacenMarcajes &almacen, const TerminalRecord &terminal)
    : almacen_(almacen), terminal_(terminal), clave_(ClaveTerminal(terminal))
{
}

std::optional<int> DestinoBaseDatos::Cursor() { return almacen_.Cursor(clave_); }

DestinoBaseDatos::Resultado DestinoBaseDatos::Entregar(const Marcaje &m, int siguiente, QString &error)
{
    MOD_ado::Marcaje punch;
    punch.numeroTerminal = terminal_.codigo;
    punch.fechaHora = m.fechaHora;
    punch.entradaSalida = m.entradaSalida;
    punch.codigoIncidencia = m.codigoIncidencia;
    punch.tarjeta = qint64(m.tarjeta);
    punch.subcodigo = qint64(m.subcodigo);
    switch (almacen_.Grabar(punch, clave_, siguiente, &error)) {
    case MOD_ado::ResultadoGrabacion::Insertado:
        return Resultado::Grabado;
    case MOD_ado::ResultadoGrabacion::Duplicado:
        return Resultado::Duplicado;
    case MOD_ado::ResultadoGrabacion::Apartado:
        apartados_ << QStringLiteral("%1 tarjeta %2 (%3), guardado en %4")
                          .arg(m.fechaHora.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")))
                          .arg(m.tarjeta)
                          .arg(error, QDir::toNativeSeparators(almacen_.ArchivoRechazados()));
        return Resultado::Apartado;
    case MOD_ado::ResultadoGrabacion::Rechazado:
        error = QStringLiteral("la base de datos rechaza el marcaje del %1 (intento %2 de %3): %4")
                    .arg(m.fechaHora.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")))
                    .arg(almacen_.Rechazos(clave_))
                    .arg(MOD_ado::AlmacenMarcajes::kIntentosRechazo)
                    .arg(error);
        return Resultado::Error;
    case MOD_ado::ResultadoGrabacion::ErrorBaseDatos:
        break;
    }
    return Resultado::Error;
}

void DestinoBaseDatos::FijarCursor(int posicion) { almacen_.FijarCursor(clave_, posicion); }

quint8 LeerMarcajesEnBase(const MOD_comunicaciones_kora::Contexto &ctx, const TerminalRecord &terminal,
                          const MOD_ado::CadenaConexion &cc, long &contador, quint8 modo, QString *errorBaseDatos,
                          const std::function<void(const MOD_comunicaciones_kora::ProgresoDescarga &)> &alAvanzar)
{
    MOD_ado::AlmacenMarcajes almacen(cc);
    DestinoBaseDatos destino(almacen, terminal);
    return MOD_comunicaciones_kora::LeerMarcajes(ctx, terminal, destino, contador, modo, errorBaseDatos, alAvanzar);
}
