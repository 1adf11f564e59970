#include "storage/mod_ado.h"

#include "common/archivos.h"
#include "storage/conexion.h"
#include "storage/interno.h"
#include "storage/mod_ini.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QSysInfo>

namespace MOD_ado {

namespace {

// One column of the terminal's row in the program's table; none without a
// row, a value or a readable table.
std::optional<QVariant> deLaTabla(Conexion &con, const char *columna, const QString &clave, QString *error = nullptr)
{
    QSqlQuery q(con.db());
    const QString sql = QStringLiteral("SELECT %1 FROM kalverostin_terminales WHERE clave = ?").arg(QLatin1String(columna));
    if (const QString e = ejecutar(q, sql, {clave}); !e.isEmpty()) {
        if (error)
            *error = e;
        return std::nullopt;
    }
    if (!q.next() || q.value(0).isNull())
        return std::nullopt;
    return q.value(0);
}

QVariant hex(const QByteArray &b)
{
    return b.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(QString::fromLatin1(b.toHex()));
}

} // namespace

AlmacenMarcajes::AlmacenMarcajes(const CadenaConexion &cc) : cc_(cc) {}
AlmacenMarcajes::~AlmacenMarcajes() = default;

bool AlmacenMarcajes::abrir(QString &error)
{
    // A removed or replaced-by-a-folder file must not swallow punches through
    // a connection still holding the old one.
    const bool sigue = con_ && cc_.RutaBaseDatos == rutaAbierta_ && con_->error().isEmpty()
        && (!dialectoDe(rutaAbierta_).esArchivo || QFileInfo(rutaAbierta_).isFile());
    recienAbierta_ = !sigue;
    if (!sigue) {
        con_.reset();
        con_ = std::make_unique<Conexion>(cc_);
        rutaAbierta_ = cc_.RutaBaseDatos;
        cursores_ = false;
        errorCursores_.clear();
        ++generacion_;
        if (con_->error().isEmpty() && con_->dialecto().tablasPropias) {
            // Without its cursor a download cannot tell where to start, nor
            // record how far it got: the download waits for a table that works.
            QSqlQuery q(con_->db());
            errorCursores_ = con_->prepararTablasPropias();
            if (errorCursores_.isEmpty()
                && !q.exec(QStringLiteral("SELECT clave, posicion, rechazos, guarda, lector, lector_hasta FROM kalverostin_terminales "
                                          "WHERE 1 = 0")))
                errorCursores_ = textoError(q.lastError());
            cursores_ = errorCursores_.isEmpty();
            if (!cursores_)
                errorCursores_ = QStringLiteral("no se puede usar la tabla kalverostin_terminales, donde se guarda "
                                                "hasta dónde se ha leído cada terminal: %1")
                                     .arg(errorCursores_);
        }
    }
    error = con_->error();
    return error.isEmpty();
}

std::optional<CursorTerminal> AlmacenMarcajes::cursorEn(const QString &clave, QString *error)
{
    if (!cursores_)
        return std::nullopt;
    QString e;
    QSqlQuery *q = ejecutarPreparada(*con_, QStringLiteral("SELECT posicion, guarda FROM kalverostin_terminales WHERE clave = ?"),
                                     {clave}, e);
    std::optional<CursorTerminal> c;
    if (e.isEmpty() && q->next() && !q->value(0).isNull())
        c = CursorTerminal{q->value(0).toInt(), QByteArray::fromHex(q->value(1).toString().toLatin1())};
    if (q)
        q->finish();
    if (!e.isEmpty() && error)
        *error = e;
    return c;
}

std::optional<CursorTerminal> AlmacenMarcajes::Cursor(const QString &clave, QString *error)
{
    QString e;
    std::optional<CursorTerminal> c;
    if (cursorTomado_ && cursorTomado_->first == clave && con_ && abrir(e) && errorCursores_.isEmpty()) {
        c = cursorTomado_->second; // read with the lock, nothing written since
        cursorTomado_.reset();
        return c;
    }
    if (abrir(e)) {
        e = errorCursores_;
        if (e.isEmpty())
            c = cursorEn(clave, &e);
    }
    if (!e.isEmpty()) {
        if (error)
            *error = ocultarClave(cc_, e);
        con_.reset();
    }
    return c;
}

AlmacenMarcajes::ResultadoLote AlmacenMarcajes::GrabarLote(const QString &clave, const QVector<MarcajeLeido> &lote,
                                                            const std::optional<CursorTerminal> &tras)
{
    ResultadoLote r;
    const CursorTerminal cursor = tras ? *tras : lote.isEmpty() ? CursorTerminal{} : lote.last().tras();
    if (lote.isEmpty()) {
        if (tras)
            r.error = FijarCursor(clave, cursor.posicion, cursor.anterior);
        if (!r.error.isEmpty())
            r.parada = ResultadoGrabacion::ErrorBaseDatos;
        return r;
    }
    QVector<Marcaje> marcajes;
    marcajes.reserve(lote.size());
    for (const MarcajeLeido &x : lote)
        marcajes << x.marcaje;
    QString e;
    EnTransaccion t;
    if (abrir(e)) {
        const bool enServidor = loteEnServidor(*con_);
        if (e = con_->empezarEscritura(); e.isEmpty()) {
            t = grabarLoteEn(*con_, marcajes, enServidor);
            e = t.error;
            if (e.isEmpty() && cursores_)
                e = escribirCursor(clave, cursor.posicion, cursor.anterior);
            if (e.isEmpty())
                e = renovarArriendo(clave);
            if (!e.isEmpty())
                con_->deshacer();
            else
                e = con_->confirmar();
        }
    }
    if (e.isEmpty()) {
        r.insertados = t.insertados;
        r.duplicados = int(lote.size()) - t.insertados;
        r.hechos = int(lote.size());
        return r;
    }
    if (!t.fallo.isValid() || !con_->dialecto().esRechazoDeFila(t.fallo)) {
        con_.reset(); // start afresh next time
        r.parada = ResultadoGrabacion::ErrorBaseDatos;
        r.error = ocultarClave(cc_, e);
        return r;
    }
    // A row refused: punch by punch, which stores those before it and counts
    // (or sets aside) the refused one.
    for (const MarcajeLeido &x : lote) {
        QString error;
        const ResultadoGrabacion resultado = Grabar(x.marcaje, clave, x.tras(), &error);
        switch (resultado) {
        case ResultadoGrabacion::Insertado:
            ++r.insertados;
            break;
        case ResultadoGrabacion::Duplicado:
            ++r.duplicados;
            break;
        case ResultadoGrabacion::Apartado:
            ++r.apartados;
            r.apartadosTexto << QStringLiteral("%1 tarjeta %2 (%3)")
                                    .arg(textoFecha(x.marcaje.fechaHora),
                                         x.marcaje.tarjeta.toString(), error);
            break;
        case ResultadoGrabacion::ErrorBaseDatos:
        case ResultadoGrabacion::Rechazado:
            r.parada = resultado;
            r.error = error;
            return r;
        }
        ++r.hechos;
    }
    // Duplicates after the last stored punch left the cursor behind; were this
    // to fail, they would only be read again.
    FijarCursor(clave, cursor.posicion, cursor.anterior);
    return r;
}

void AlmacenMarcajes::fijarColector(const QString &nombre) { colector_ = nombre; }

QString AlmacenMarcajes::colector() const
{
    // One per machine and configuration: a collector started again after a
    // crash takes its terminals back at once; another one waits for the lease.
    return colector_.isEmpty() ? QSysInfo::machineHostName() + u' ' + MOD_ini::RutaConfig() : colector_;
}

bool AlmacenMarcajes::TomarTerminal(const QString &clave)
{
    // A download begins. A connection kept without its cursor table is tried
    // afresh: what made the table fail (a lock, a missing right) may have
    // passed since the last download, and it is tried once per download only.
    if (con_ && !cursores_ && con_->dialecto().tablasPropias)
        con_.reset();
    QString e;
    if (!abrir(e))
        return true; // the download itself will meet and report the fault
    const Dialecto &d = con_->dialecto();
    if (!d.tomarTerminal.isEmpty()) {
        const QVariantList valores(d.tomarTerminal.count(u'?'), clave);
        QSqlQuery *q = ejecutarPreparada(*con_, d.tomarTerminal, valores, e);
        if (!e.isEmpty() && !recienAbierta_) {
            // A connection kept from an earlier run may have died meanwhile
            // (the server restarted): once more, on a new one.
            con_.reset();
            if (!abrir(e))
                return true;
            q = ejecutarPreparada(*con_, d.tomarTerminal, valores, e);
        }
        const bool fila = e.isEmpty() && q->next();
        const bool libre = !fila || q->value(0).toBool();
        if (fila && libre) {
            tomados_.insert(clave, generacion_);
            if (cursores_ && q->record().count() >= 3)
                cursorTomado_ = {clave, q->value(1).isNull() ? std::nullopt
                                                              : std::optional<CursorTerminal>(CursorTerminal{
                                                                    q->value(1).toInt(),
                                                                    QByteArray::fromHex(q->value(2).toString().toLatin1())})};
        }
        if (q)
            q->finish();
        return libre;
    }
    if (!cursores_)
        return true;
    // A file has no session locks: a lease row, renewed with every batch,
    // that another collector respects until it expires. Looked at first
    // without writing: a lease of this collector's is renewed for all of its
    // terminals at once, so that an idle run costs no disk sync per terminal.
    const qint64 ahora = QDateTime::currentSecsSinceEpoch();
    QSqlQuery *q = ejecutarPreparada(
        *con_, QStringLiteral("SELECT lector, lector_hasta FROM kalverostin_terminales WHERE clave = ?"), {clave}, e);
    if (!e.isEmpty())
        return true;
    const bool fila = q->next() && !q->value(0).isNull();
    const bool mio = fila && q->value(0).toString() == colector();
    const qint64 hasta = fila ? q->value(1).toLongLong() : 0;
    q->finish();
    if (fila && !mio && hasta > ahora)
        return false;
    if (mio && hasta > ahora) {
        if (hasta - ahora >= kArriendoSegundos / 2 || renovarArriendos().isEmpty())
            tomados_.insert(clave, generacion_);
        return true;
    }
    // Free, expired or never taken: taken in a transaction that looks again.
    if (!(e = con_->empezarEscritura()).isEmpty())
        return true;
    QSqlQuery w(con_->db());
    bool libre = true;
    if (ejecutar(w, QStringLiteral("SELECT lector, lector_hasta FROM kalverostin_terminales WHERE clave = ?"), {clave})
            .isEmpty()
        && w.next() && !w.value(0).isNull())
        libre = w.value(0).toString() == colector() || w.value(1).toLongLong() <= ahora;
    w.finish();
    if (libre)
        e = ejecutar(w,
                     d.upsert(QStringLiteral("kalverostin_terminales"),
                              QStringLiteral("clave, posicion, rechazos, lector, lector_hasta"),
                              QStringLiteral("?, NULL, 0, ?, ?"), QStringLiteral("clave"),
                              QStringLiteral("lector = {nuevo.lector}, lector_hasta = {nuevo.lector_hasta}")),
                     {clave, colector(), ahora + kArriendoSegundos});
    w.finish();
    if (libre && e.isEmpty())
        e = con_->confirmar();
    else
        con_->deshacer();
    if (!libre)
        return false;
    if (e.isEmpty())
        tomados_.insert(clave, generacion_);
    return true;
}

QString AlmacenMarcajes::renovarArriendos()
{
    QString e = con_->empezarEscritura();
    if (!e.isEmpty())
        return e;
    const qint64 ahora = QDateTime::currentSecsSinceEpoch();
    QSqlQuery w(con_->db());
    e = ejecutar(w, QStringLiteral("UPDATE kalverostin_terminales SET lector_hasta = ? WHERE lector = ? AND lector_hasta > ?"),
                 {ahora + kArriendoSegundos, colector(), ahora});
    w.finish();
    if (e.isEmpty())
        return con_->confirmar();
    con_->deshacer();
    return e;
}

QString AlmacenMarcajes::renovarArriendo(const QString &clave)
{
    if (!con_->dialecto().tomarTerminal.isEmpty() || !cursores_ || !tomados_.contains(clave))
        return {};
    QString e;
    QSqlQuery *q = ejecutarPreparada(*con_,
                                     QStringLiteral("UPDATE kalverostin_terminales SET lector_hasta = ? "
                                                    "WHERE clave = ? AND lector = ?"),
                                     {QDateTime::currentSecsSinceEpoch() + kArriendoSegundos, clave, colector()}, e);
    const int filas = q ? q->numRowsAffected() : 0;
    if (q)
        q->finish();
    if (e.isEmpty() && filas != 1) {
        tomados_.insert(clave, -1);
        e = QStringLiteral("otro programa con la misma base de datos ha tomado este terminal");
    }
    return e;
}

bool AlmacenMarcajes::Retiene(const QString &clave) const
{
    // The server lets go of a session's locks when its connection ends, and
    // this store drops its connection at every fault; a lease lasts until
    // another collector has taken it.
    const auto t = tomados_.constFind(clave);
    if (t == tomados_.cend())
        return true;
    if (!dialectoDe(cc_.RutaBaseDatos).tomarTerminal.isEmpty())
        return con_ && *t == generacion_;
    return *t >= 0;
}

void AlmacenMarcajes::SoltarTerminal(const QString &clave)
{
    if (!con_ || !con_->error().isEmpty() || con_->dialecto().soltarTerminal.isEmpty())
        return;
    tomados_.remove(clave);
    cursorTomado_.reset();
    QString e;
    if (QSqlQuery *q = ejecutarPreparada(*con_, con_->dialecto().soltarTerminal, {clave}, e))
        q->finish();
}

int AlmacenMarcajes::Rechazos(const QString &clave)
{
    QString e;
    if (!abrir(e) || !cursores_)
        return 0;
    return deLaTabla(*con_, "rechazos", clave).value_or(0).toInt();
}

QString AlmacenMarcajes::escribirCursor(const QString &clave, int posicion, const QByteArray &anterior)
{
    cursorTomado_.reset();
    // An unchanged position keeps the refusals of the punch there.
    QString e;
    if (QSqlQuery *q = ejecutarPreparada(
            *con_,
            con_->dialecto().upsert(QStringLiteral("kalverostin_terminales"), QStringLiteral("clave, posicion, rechazos, guarda"),
                                    QStringLiteral("?, ?, 0, ?"), QStringLiteral("clave"),
                                    QStringLiteral("rechazos = CASE WHEN kalverostin_terminales.posicion = {nuevo.posicion} "
                                                   "THEN kalverostin_terminales.rechazos ELSE 0 END, "
                                                   "posicion = {nuevo.posicion}, guarda = {nuevo.guarda}")),
            {clave, posicion, hex(anterior)}, e))
        q->finish();
    return e;
}

QString AlmacenMarcajes::FijarCursor(const QString &clave, int posicion, const QByteArray &anterior)
{
    QString e;
    if (!abrir(e))
        return ocultarClave(cc_, e);
    if (!cursores_)
        return dialectoDe(cc_.RutaBaseDatos).tablasPropias ? ocultarClave(cc_, errorCursores_) : QString();
    const std::optional<CursorTerminal> ahora = cursorEn(clave, &e);
    if (e.isEmpty() && ahora && ahora->posicion == posicion && ahora->anterior == anterior)
        return {};
    if (e.isEmpty() && (e = con_->empezarEscritura()).isEmpty()) {
        e = escribirCursor(clave, posicion, anterior);
        if (e.isEmpty())
            e = renovarArriendo(clave);
        if (e.isEmpty())
            e = con_->confirmar();
        else
            con_->deshacer();
    }
    if (!e.isEmpty())
        con_.reset();
    return ocultarClave(cc_, e);
}

QString AlmacenMarcajes::ArchivoRechazados() const
{
    const QString nombre = QStringLiteral("rechazados.csv");
    if (!dialectoDe(cc_.RutaBaseDatos).esArchivo)
        return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(nombre);
    return QFileInfo(cc_.RutaBaseDatos).absoluteDir().filePath(nombre);
}

QString AlmacenMarcajes::apartar(const Marcaje &m, const QString &motivo)
{
    const QString ruta = ArchivoRechazados();
    crearCarpetas(QFileInfo(ruta).absolutePath());
    QFile f(ruta);
    const bool nuevo = !f.exists();
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return QStringLiteral("No se puede escribir %1: %2").arg(QDir::toNativeSeparators(ruta), f.errorString());
    if (nuevo)
        f.setPermissions(kPermisosArchivo);
    QString linea = nuevo ? QStringLiteral("numero_terminal;fechahora;codigo_incidencia;entrada_salida;tarjeta;"
                                           "subcodigo;motivo\n")
                          : QString();
    QString texto = motivo;
    texto.replace(u'"', QStringLiteral("\"\""));
    linea += QStringLiteral("%1;%2;%3;%4;%5;%6;\"%7\"\n")
                 .arg(m.numeroTerminal)
                 .arg(textoFecha(m.fechaHora), m.codigoIncidencia.toString(),
                      m.entradaSalida.toString(), m.tarjeta.toString(), m.subcodigo.toString(), texto.simplified());
    // The punch leaves the terminal's queue only once it is safely in the file.
    if (f.write(linea.toUtf8()) < 0 || !f.flush() || !sincronizarArchivo(f))
        return QStringLiteral("No se puede escribir %1: %2").arg(QDir::toNativeSeparators(ruta), f.errorString());
    return {};
}

ResultadoGrabacion AlmacenMarcajes::Grabar(const Marcaje &m, const QString &clave, const CursorTerminal &siguiente,
                                           QString *error)
{
    QString e;
    QSqlError fallo;
    ResultadoGrabacion r = ResultadoGrabacion::ErrorBaseDatos;
    if (abrir(e) && (e = con_->empezarEscritura()).isEmpty()) {
        r = grabarEn(*con_, m, e, &fallo);
        if (r == ResultadoGrabacion::Insertado && cursores_)
            e = escribirCursor(clave, siguiente.posicion, siguiente.anterior);
        if (!e.isEmpty()) {
            con_->deshacer();
            r = ResultadoGrabacion::ErrorBaseDatos;
        } else if (e = con_->confirmar(); !e.isEmpty()) {
            r = ResultadoGrabacion::ErrorBaseDatos;
        }
    }
    if (r == ResultadoGrabacion::ErrorBaseDatos && fallo.isValid() && con_->dialecto().esRechazoDeFila(fallo)
        && cursores_) {
        // Count the refusal; the count is written only if the database still
        // takes writes, which tells a refused row from a database at fault.
        const QString motivo = e;
        QSqlQuery q(con_->db());
        QString p = con_->empezarEscritura();
        if (p.isEmpty())
            p = ejecutar(q,
                         con_->dialecto().upsert(QStringLiteral("kalverostin_terminales"),
                                                 QStringLiteral("clave, posicion, rechazos"), QStringLiteral("?, NULL, 1"),
                                                 QStringLiteral("clave"),
                                                 QStringLiteral("rechazos = kalverostin_terminales.rechazos + 1")),
                         {clave});
        if (p.isEmpty())
            p = ejecutar(q, QStringLiteral("SELECT rechazos FROM kalverostin_terminales WHERE clave = ?"), {clave});
        const int veces = p.isEmpty() && q.next() ? q.value(0).toInt() : 0;
        q.finish();
        if (p.isEmpty() && veces >= kIntentosRechazo) {
            p = apartar(m, motivo);
            if (p.isEmpty())
                p = escribirCursor(clave, siguiente.posicion, siguiente.anterior);
            r = ResultadoGrabacion::Apartado;
        } else {
            r = ResultadoGrabacion::Rechazado;
        }
        if (p.isEmpty())
            p = con_->confirmar();
        else
            con_->deshacer();
        if (!p.isEmpty())
            r = ResultadoGrabacion::ErrorBaseDatos;
        e = motivo;
    }
    if (r == ResultadoGrabacion::ErrorBaseDatos)
        con_.reset(); // start afresh next time
    if (error && r != ResultadoGrabacion::Insertado && r != ResultadoGrabacion::Duplicado)
        *error = ocultarClave(cc_, e);
    return r;
}

} // namespace MOD_ado
