#include "shell/nucleo/estado_terminal.h"

#include "shell/nucleo/registro.h"
#include "shell/nucleo/relojes.h"

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace Estado {

Marca MarcaDe(const MOD_ado::EstadoTerminal &e)
{
    if (e.fallandoDesde.isValid())
        return Marca::Falla;
    return e.ultimaLectura.isValid() ? Marca::Responde : Marca::SinLeer;
}

MOD_ado::EstadoTerminal Siguiente(const MOD_ado::EstadoTerminal &antes, const Resultado &r, const QDateTime &ahora,
                                  const Alertas &alertas, Aviso *aviso)
{
    MOD_ado::EstadoTerminal e = antes;
    Aviso a = Aviso::Ninguno;
    if (e.dia != ahora.date()) {
        e.dia = ahora.date();
        e.marcajesDia = 0;
    }
    e.marcajesDia += int(r.marcajes);
    if (r.pendientes >= 0)
        e.pendientes = r.pendientes;
    if (!r.continuidad.isEmpty()) {
        e.continuidadPerdida = ahora;
        e.motivoContinuidad = r.continuidad;
    }
    const bool conAlertas = !alertas.orden.trimmed().isEmpty();
    if (!r.respondio) {
        e.ultimoError = ahora;
        e.motivo = r.motivo;
        if (!e.fallandoDesde.isValid())
            e.fallandoDesde = ahora;
        if (conAlertas && !e.alertado && e.fallandoDesde.secsTo(ahora) >= qint64(alertas.minutos) * 60) {
            e.alertado = true;
            a = Aviso::Fallo;
        }
    } else if (!r.errorBaseDatos.isEmpty()) {
        // A database fault says nothing of the terminal: it may not even have
        // been asked (a database that cannot give the cursor).
        e.ultimoError = ahora;
        e.motivo = QStringLiteral("base de datos: ") + r.errorBaseDatos;
    } else {
        e.ultimaLectura = ahora;
        e.fallandoDesde = QDateTime();
        if (e.alertado)
            a = conAlertas ? Aviso::Recuperado : Aviso::Ninguno;
        e.alertado = false;
    }
    if (aviso)
        *aviso = a;
    return e;
}

QString EjecutarAlerta(const Alertas &alertas, Aviso aviso, const TerminalRecord &t, const QString &motivo)
{
    QStringList partes = QProcess::splitCommand(alertas.orden);
    if (partes.isEmpty())
        return QStringLiteral("no hay orden");
    const QString evento = aviso == Aviso::Fallo ? QStringLiteral("fallo") : QStringLiteral("recuperado");
    const QString programa = partes.takeFirst();
    const QFileInfo ejecutable(programa.contains(u'/') ? programa : QStandardPaths::findExecutable(programa));
    if (!ejecutable.isFile())
        return QStringLiteral("no se encuentra el programa %1").arg(programa);
    if (!ejecutable.isExecutable())
        return QStringLiteral("el programa %1 no tiene permiso de ejecución").arg(programa);
    QProcess proceso;
    proceso.setProgram(programa);
    proceso.setArguments(partes << QString::number(t.codigo) << t.descripcion << motivo << evento);
    QProcessEnvironment entorno = QProcessEnvironment::systemEnvironment();
    entorno.insert(QStringLiteral("KALVEROSTIN_CODIGO"), QString::number(t.codigo));
    entorno.insert(QStringLiteral("KALVEROSTIN_TERMINAL"), t.descripcion);
    entorno.insert(QStringLiteral("KALVEROSTIN_MOTIVO"), motivo);
    entorno.insert(QStringLiteral("KALVEROSTIN_EVENTO"), evento);
    proceso.setProcessEnvironment(entorno);
    proceso.setStandardInputFile(QProcess::nullDevice());
    if (!proceso.startDetached())
        return QStringLiteral("no se puede iniciar %1 (%2)").arg(programa, proceso.errorString());
    return {};
}

QString TextoEstado(const MOD_ado::EstadoTerminal &e, const QDate &hoy)
{
    QStringList lineas;
    switch (MarcaDe(e)) {
    case Marca::SinLeer:
        lineas << QStringLiteral("Sin leer todavía");
        break;
    case Marca::Responde:
        lineas << QStringLiteral("Responde");
        break;
    case Marca::Falla:
        lineas << QStringLiteral("Sin respuesta desde el %1").arg(e.fallandoDesde.toString(kFormatoFechaHora));
        break;
    }
    if (e.ultimaLectura.isValid())
        lineas << QStringLiteral("Última lectura: %1").arg(e.ultimaLectura.toString(kFormatoFechaHora));
    if (e.ultimoError.isValid())
        lineas << QStringLiteral("Último error: %1 [%2]").arg(e.ultimoError.toString(kFormatoFechaHora), e.motivo);
    lineas << QStringLiteral("Marcajes hoy: %1").arg(e.dia == hoy ? e.marcajesDia : 0);
    if (e.pendientes >= 0)
        lineas << QStringLiteral("Pendientes en el terminal: %1").arg(e.pendientes);
    if (e.continuidadPerdida.isValid())
        lineas << QStringLiteral("Continuidad perdida: %1 [%2], se leyeron todos los marcajes")
                      .arg(e.continuidadPerdida.toString(kFormatoFechaHora), e.motivoContinuidad);
    if (e.relojCorregido.isValid() && e.relojCorregido >= e.relojLeido)
        lineas << QStringLiteral("Reloj: %1, corregido el %2")
                      .arg(Relojes::TextoDesfase(e.desfase, true), e.relojCorregido.toString(kFormatoFechaHora));
    else if (e.relojLeido.isValid())
        lineas << QStringLiteral("Reloj: %1 (leído el %2)")
                      .arg(Relojes::TextoDesfase(e.desfase), e.relojLeido.toString(kFormatoFechaHora));
    return lineas.join(u'\n');
}

} // namespace Estado
