#include "shell/nucleo/destino_base_datos.h"

#include "shell/nucleo/registro.h"
#include "shell/nucleo/trabajador.h"

#include <QDir>


QString ClaveTerminal(const TerminalRecord &t)
{
    // Its lane and its address there: one terminal however its host name is spelt.
    return QStringLiteral("%1 #%2").arg(Trabajador::Carril(t)).arg(t.codigo);
}

DestinoBaseDatos::DestinoBaseDatos(MOD_ado::AlmacenMarcajes &almacen, const TerminalRecord &terminal)
    : almacen_(almacen), terminal_(terminal), clave_(ClaveTerminal(terminal))
{
}

std::optional<DestinoBaseDatos::Cursor> DestinoBaseDatos::LeerCursor(QString &error)
{
    return almacen_.Cursor(clave_, &error);
}

DestinoBaseDatos::Resultado DestinoBaseDatos::Grabar(const QVector<MarcajeLeido> &lote, const Cursor &tras)
{
    const MOD_ado::AlmacenMarcajes::ResultadoLote r = almacen_.GrabarLote(clave_, lote, tras);
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
