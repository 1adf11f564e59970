#include "shell/nucleo/destino_base_datos.h"

#include "shell/nucleo/registro.h"

#include <QDir>


QString ClaveTerminal(const TerminalRecord &t)
{
    const QString enlace = t.Tipo == 2 ? QStringLiteral("IP ") + t.IP.trimmed() : QStringLiteral("COM%1").arg(t.Com);
    return QStringLiteral("%1 #%2").arg(enlace).arg(t.codigo);
}

DestinoBaseDatos::DestinoBaseDatos(MOD_ado::AlmacenMarcajes &almacen, const TerminalRecord &terminal)
    : almacen_(almacen), terminal_(terminal), clave_(ClaveTerminal(terminal))
{
}

std::optional<DestinoBaseDatos::Cursor> DestinoBaseDatos::LeerCursor(QString &error)
{
    const auto c = almacen_.Cursor(clave_, &error);
    return c ? std::optional<Cursor>(Cursor{c->posicion, c->anterior}) : std::nullopt;
}

DestinoBaseDatos::Resultado DestinoBaseDatos::Grabar(const QVector<Pendiente> &lote, const Cursor &tras)
{
    QVector<MOD_ado::AlmacenMarcajes::EnLote> filas;
    filas.reserve(lote.size());
    for (const Pendiente &p : lote) {
        MOD_ado::Marcaje punch;
        punch.numeroTerminal = terminal_.codigo;
        punch.fechaHora = p.marcaje.fechaHora;
        punch.entradaSalida = p.marcaje.entradaSalida;
        punch.codigoIncidencia = p.marcaje.codigoIncidencia;
        punch.tarjeta = qint64(p.marcaje.tarjeta);
        punch.subcodigo = qint64(p.marcaje.subcodigo);
        filas.append({punch, p.siguiente, p.ultimo});
    }
    const MOD_ado::AlmacenMarcajes::ResultadoLote r =
        almacen_.GrabarLote(clave_, filas, MOD_ado::CursorTerminal{tras.posicion, tras.anterior});
    for (const QString &texto : r.apartadosTexto)
        apartados_ << texto + QStringLiteral(", guardado en ") +
                          QDir::toNativeSeparators(almacen_.ArchivoRechazados());
    Resultado resultado{r.insertados, r.hechos, r.error};
    if (r.parada == MOD_ado::ResultadoGrabacion::Rechazado && r.hechos < lote.size())
        resultado.error = QStringLiteral("la base de datos rechaza el marcaje del %1 (intento %2 de %3): %4")
                              .arg(lote[r.hechos].marcaje.fechaHora.toString(kFormatoFechaHora))
                              .arg(almacen_.Rechazos(clave_))
                              .arg(MOD_ado::AlmacenMarcajes::kIntentosRechazo)
                              .arg(r.error);
    return resultado;
}

QString DestinoBaseDatos::FijarCursor(const Cursor &cursor)
{
    return almacen_.FijarCursor(clave_, cursor.posicion, cursor.anterior);
}

bool DestinoBaseDatos::Retiene() { return almacen_.Retiene(clave_); }
