#include "shell/nucleo/estado_consola.h"

#include "shell/nucleo/destino_base_datos.h"
#include "shell/nucleo/estado_terminal.h"
#include "shell/nucleo/mod_variables.h"
#include "shell/nucleo/registro.h"
#include "storage/mod_ini.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>

namespace {

QString fecha(const QDateTime &m) { return m.isValid() ? m.toString(kFormatoFechaHora) : QString(); }
QJsonValue fechaIso(const QDateTime &m) { return m.isValid() ? QJsonValue(m.toString(Qt::ISODate)) : QJsonValue(); }

const char *const kMarcas[] = {"sin leer", "responde", "falla"};
const char *const kMarcasJson[] = {"sin_leer", "responde", "falla"};

} // namespace

int MostrarEstado(int argc, char *argv[], bool json)
{
    QCoreApplication app(argc, argv);
    // The service's files when asked as the service would be (STATE_DIRECTORY).
    if (const QString estado = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0); !estado.isEmpty())
        MOD_ini::FijarDirectorioPrograma(estado);
    QString error;
    Arranque::LeerConfiguracion(&error);
    QVector<TerminalRecord> terminales;
    if (error.isEmpty())
        error = MOD_ado::CargarTerminales(MOD_variables::CadenaConexion(), terminales);
    QHash<QString, MOD_ado::EstadoTerminal> estados;
    if (error.isEmpty())
        estados = MOD_ado::LeerEstados(MOD_variables::CadenaConexion(), &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }

    bool falla = false;
    QJsonArray filasJson;
    QList<QStringList> filas{{QStringLiteral("TERMINAL"), QStringLiteral("CÓDIGO"), QStringLiteral("ESTADO"),
                              QStringLiteral("ÚLTIMA LECTURA"), QStringLiteral("PENDIENTES"), QStringLiteral("RELOJ"),
                              QStringLiteral("ÚLTIMO ERROR"), QStringLiteral("MOTIVO")}};
    for (const TerminalRecord &t : std::as_const(terminales)) {
        const MOD_ado::EstadoTerminal e = estados.value(ClaveTerminal(t));
        const int marca = int(Estado::MarcaDe(e));
        falla = falla || Estado::MarcaDe(e) == Estado::Marca::Falla;
        const QString pendientes = e.pendientes < 0 ? QString() : QString::number(e.pendientes);
        const bool conReloj = e.relojLeido.isValid(); // the drift, + when the terminal is ahead
        const QString reloj =
            conReloj ? QStringLiteral("%1%2 s").arg(e.desfase > 0 ? "+" : "").arg(e.desfase) : QString();
        // One line per terminal, whatever its name or reason holds.
        filas.append({t.descripcion.simplified(), QString::number(t.codigo), QLatin1String(kMarcas[marca]),
                      fecha(e.ultimaLectura), pendientes, reloj, fecha(e.ultimoError), e.motivo.simplified()});
        filasJson.append(QJsonObject{
            {QStringLiteral("terminal"), t.descripcion},
            {QStringLiteral("codigo"), t.codigo},
            {QStringLiteral("estado"), QLatin1String(kMarcasJson[marca])},
            {QStringLiteral("ultima_lectura"), fechaIso(e.ultimaLectura)},
            {QStringLiteral("fallando_desde"), fechaIso(e.fallandoDesde)},
            {QStringLiteral("ultimo_error"), fechaIso(e.ultimoError)},
            {QStringLiteral("motivo"), e.motivo.isEmpty() ? QJsonValue() : QJsonValue(e.motivo)},
            {QStringLiteral("pendientes"), e.pendientes < 0 ? QJsonValue() : QJsonValue(e.pendientes)},
            {QStringLiteral("desfase_reloj"), conReloj ? QJsonValue(e.desfase) : QJsonValue()},
            {QStringLiteral("reloj_leido"), fechaIso(e.relojLeido)},
        });
    }
    QByteArray salida;
    if (json) {
        salida = QJsonDocument(filasJson).toJson(QJsonDocument::Indented);
    } else {
        QList<qsizetype> anchos(filas.first().size(), 0);
        for (const QStringList &f : std::as_const(filas))
            for (qsizetype c = 0; c < f.size(); ++c)
                anchos[c] = std::max(anchos[c], f[c].size());
        for (const QStringList &f : std::as_const(filas)) {
            QString linea;
            for (qsizetype c = 0; c < f.size(); ++c)
                linea += c + 1 < f.size() ? f[c].leftJustified(anchos[c] + 2) : f[c];
            salida += linea.trimmed().toUtf8() + '\n';
        }
        // Not a terminal's: periods a run overlapped were not polled.
        if (const auto r = estados.constFind(QLatin1String(MOD_ado::kClaveRonda)); r != estados.cend())
            salida += QStringLiteral("\nÚltima lectura más larga que su periodo: %1, %2\n")
                          .arg(fecha(r->ultimoError), r->motivo.simplified())
                          .toUtf8();
    }
    std::fwrite(salida.constData(), 1, size_t(salida.size()), stdout);
    return falla ? 1 : 0;
}
