#include "commands/mod_comunicaciones_kora.h"

#include "common/texto.h"

#include <QElapsedTimer>
#include <QTimeZone>

namespace MOD_comunicaciones_kora {

namespace {

quint8 byteEn(const QByteArray &b, int i) { return i < b.size() ? quint8(b[i]) : 0; }

quint32 enteroGrande(const QByteArray &b, int desde) // most significant byte first
{
    return quint32(byteEn(b, desde)) << 24 | quint32(byteEn(b, desde + 1)) << 16 |
           quint32(byteEn(b, desde + 2)) << 8 | quint32(byteEn(b, desde + 3));
}

int enteroPequeno(const QByteArray &b, int desde) { return byteEn(b, desde + 1) * 256 + byteEn(b, desde); } // LSB first

quint8 aBcd(int v) { return quint8(16 * (v / 10) + v % 10); }

// Attempts on serial links. A punch order gets one: repeated blindly after a
// lost answer, a read-next would skip a record.
constexpr quint8 kIntentos = 3;
constexpr quint8 kIntentosMarcaje = 1;

// A command's exchange, with the length field the protocol fixes for it.
quint8 ejecutar(const Contexto &ctx, const TerminalRecord &t, kora::Comando codigo, const Datos &datos,
                QByteArray *respuesta = nullptr, quint8 intentos = kIntentos)
{
    return EjecutarComando(ctx, t, codigo, kora::longitud(codigo), intentos, datos, respuesta);
}

Datos unByte(int valor) { return Datos::entero16(qint16(valor)); }

// The link's text without its "Error: " lead, with the socket's own account
// of a connection that failed (refused, not found, timed out).
QString motivoDelEnlace(const ClassRS485 &enlace, const Contexto &ctx)
{
    QString texto = enlace.TextoRespuesta;
    if (texto.startsWith(QLatin1String("Error: ")))
        texto.remove(0, 7);
    if (texto.endsWith(u'.'))
        texto.chop(1);
    if (enlace.CodigoRespuesta == 5 && ctx.Winsock1 && !ctx.Winsock1->descripcionError().isEmpty())
        texto += QStringLiteral(": ") + ctx.Winsock1->descripcionError();
    return texto;
}

} // namespace

quint8 EjecutarComando(const Contexto &ctx, const TerminalRecord &terminal, quint8 codigo, quint8 longitud,
                       quint8 reintentos, const Datos &datos, QByteArray *respuesta)
{
    ctx.motivo.clear();
    // A code that does not fit the address byte, or an unknown link type, cannot be sent.
    if (terminal.codigo < 0 || terminal.codigo > 255 || terminal.Tipo < 0 || terminal.Tipo > 2) {
        ctx.motivo = QStringLiteral("código o tipo de terminal no válido");
        return 1;
    }

    ClassRS485 enlace;
    enlace.Direccion = quint8(terminal.codigo);
    enlace.codigo = codigo;
    enlace.Longitud = longitud;
    enlace.Reintentos = reintentos;
    enlace.timeout = float(ctx.TimeoutComunicaciones);
    enlace.datos = datos;
    enlace.cancelar = ctx.cancelar;

    if (terminal.Tipo < 2) {
        // Every serial command opens the shared port on its own terminal's port
        // number (the port keeps a healthy open device instead of reopening it).
        if (!ctx.MSComm1)
            return 1;
        if (!ctx.MSComm1->abrir(terminal.Com)) {
            ctx.motivo = ctx.MSComm1->descripcionError();
            return 1;
        }
        enlace.MSComm = ctx.MSComm1;
        if (terminal.Tipo == 0)
            enlace.Send232();
        else
            enlace.Send485();
    } else {
        if (!ctx.Winsock1)
            return 1;
        enlace.WinsockRef = ctx.Winsock1;
        enlace.RemoteIP = terminal.IP;
        enlace.RemotePort = kPuertoTcp;
        enlace.SendIP();
    }

    if (enlace.CodigoRespuesta != 0) {
        ctx.motivo = motivoDelEnlace(enlace, ctx);
        return 1;
    }
    if (respuesta)
        *respuesta = enlace.Respuesta();
    return 0;
}

// ---- punch ring -------------------------------------------------------------

quint8 LeerPunteros(const Contexto &ctx, const TerminalRecord &terminal, QByteArray &respuesta)
{
    return ejecutar(ctx, terminal, kora::Marcajes, unByte(kora::Punteros), &respuesta);
}

quint8 ComandoMarcajes(const Contexto &ctx, const TerminalRecord &terminal, qint16 subfuncion, QByteArray &respuesta)
{
    return ejecutar(ctx, terminal, kora::Marcajes, unByte(subfuncion), &respuesta, kIntentosMarcaje);
}

int SiguientePosicion(int p) { return p + 1 < kPosicionesAnillo ? p + 1 : 0; }
int PosicionAnterior(int p) { return p >= 1 ? p - 1 : kPosicionesAnillo - 1; }
int PunteroEscritura(const QByteArray &r) { return enteroPequeno(r, kora::punteros::Escritura); }
int PunteroLectura(const QByteArray &r) { return enteroPequeno(r, kora::punteros::Lectura); }

namespace {

// The state machine of LeerRegistro. With `punteroConocido` (0 or more) it
// starts at the comparison with that read pointer, as if it had just been
// reported; `alPaso` hears of every verified step of a walk back.
quint8 leerRegistro(const Contexto &ctx, const TerminalRecord &terminal, int posicion, QByteArray &respuesta,
                    quint8 localizarPrimero, int punteroConocido = -1, const std::function<void()> &alPaso = {})
{
    enum Estado { LeerSiguiente, RepetirAnterior, Retroceder, VerificarPaso, ReintentarPaso, Localizar, Comparar };
    int intentos = 0;   // read orders made
    int presupuesto = 0; // retries left for one step back
    int w = punteroConocido, wPrevio = 0;
    Estado estado = punteroConocido >= 0 ? Comparar : localizarPrimero == 1 ? Localizar : LeerSiguiente;

    for (;;) {
        if (intentos >= 3)
            return 3;
        switch (estado) {
        case LeerSiguiente:
        case RepetirAnterior:
            ++intentos;
            if (ComandoMarcajes(ctx, terminal, estado == LeerSiguiente ? kora::LeerSiguiente : kora::RepetirAnterior,
                                respuesta) == 0)
                return 0;
            estado = Localizar;
            break;
        case Retroceder:
            ComandoMarcajes(ctx, terminal, kora::Retroceder, respuesta); // confirmed by the pointer report, not by this answer
            estado = VerificarPaso;
            break;
        case VerificarPaso:
            wPrevio = w;
            if (LeerPunteros(ctx, terminal, respuesta) != 0)
                return 3;
            w = PunteroLectura(respuesta);
            estado = wPrevio == SiguientePosicion(w) ? Comparar : ReintentarPaso;
            if (estado == Comparar && alPaso)
                alPaso();
            break;
        case ReintentarPaso:
            if (presupuesto == 0)
                return 3;
            --presupuesto;
            estado = Retroceder;
            break;
        case Localizar:
            if (LeerPunteros(ctx, terminal, respuesta) != 0)
                return 3;
            w = PunteroLectura(respuesta);
            estado = Comparar;
            break;
        case Comparar:
            if (w == posicion) {
                estado = LeerSiguiente;
            } else if (w == SiguientePosicion(posicion)) {
                estado = RepetirAnterior;
            } else {
                presupuesto = 3;
                estado = Retroceder;
            }
            break;
        }
        // Between cycles: the point where a closing program stops the walk.
        if (ctx.cancelado())
            return 3;
    }
}

int distancia(int desde, int hasta) { return (hasta - desde + kPosicionesAnillo) % kPosicionesAnillo; }

// A failed batch leaves at most this many slots read but not stored.
constexpr int kRetrocesoLote = 2 * kLote + 8;

// Walks the terminal's read pointer back to `objetivo` (at most
// kRetrocesoLote positions away), checking every step against the pointer
// report and ordering a step again up to three times.
bool SituarPunteroLectura(const Contexto &ctx, const TerminalRecord &t, int objetivo)
{
    QByteArray r(kora::kLongitudMaxima, 0);
    int anterior = -1, reintentos = 0;
    while (!ctx.cancelado()) {
        if (LeerPunteros(ctx, t, r) != 0)
            return false;
        const int d = distancia(objetivo, PunteroLectura(r));
        if (d == 0)
            return true;
        reintentos = anterior >= 0 && d != anterior - 1 ? reintentos + 1 : 0;
        if (d > kRetrocesoLote || reintentos > 3)
            return false;
        anterior = d;
        ComandoMarcajes(ctx, t, kora::Retroceder, r);
    }
    return false;
}

} // namespace

quint8 LeerRegistro(const Contexto &ctx, const TerminalRecord &terminal, int posicion, QByteArray &respuesta,
                    quint8 localizarPrimero)
{
    return leerRegistro(ctx, terminal, posicion, respuesta, localizarPrimero);
}

QDate ComponerFecha(int anio, int mes, int dia)
{
    if (anio >= 0 && anio <= 99)
        anio += anio <= 29 ? 2000 : 1900;
    return QDate(anio, 1, 1).addMonths(mes - 1).addDays(dia - 1);
}

QDateTime ComponerFechaHora(const QByteArray &r)
{
    using namespace kora::registro;
    const QDate fecha = ComponerFecha(byteEn(r, Anio), byteEn(r, Mes), byteEn(r, Dia));
    // UTC keeps the wall-clock time free of DST shifts; minute 60 is the next hour.
    const QDateTime momento = QDateTime(fecha, QTime(0, 0), QTimeZone::utc())
                                  .addSecs(qint64(byteEn(r, Hora)) * 3600 + byteEn(r, Minuto) * 60 + byteEn(r, Segundo));
    if (!momento.isValid() || momento.date().year() < 100 || momento.date().year() > 9999)
        return {};
    return momento;
}

ClaseRegistro ClasificarRegistro(const QByteArray &registro)
{
    using namespace kora;
    if (byteEn(registro, registro::Segundo) == registro::kMarcaFin)
        return ClaseRegistro::Fin;
    const quint8 sumado = suma(QByteArrayView(registro).first(qMin(registro.size(), qsizetype(registro::Checksum))));
    if (enteroGrande(registro, registro::Tarjeta) == 0 || sumado != byteEn(registro, registro::Checksum))
        return ClaseRegistro::Invalido;
    const quint8 marcas = byteEn(registro, registro::Banderas);
    if (marcas & bandera::Continua)
        return ClaseRegistro::Doble; // the ignore flag is honoured on one-slot punches only
    return (marcas & bandera::Ignorar) ? ClaseRegistro::Invalido : ClaseRegistro::Simple;
}

Marcaje DecodificarMarcaje(const QByteArray &registro, const QByteArray &continuacion)
{
    using namespace kora;
    const quint8 marcas = byteEn(registro, registro::Banderas);
    const bool doble = marcas & bandera::Continua;
    Marcaje m;
    m.fechaHora = ComponerFechaHora(registro);
    m.entradaSalida = int(doble ? marcas & bandera::Salida : marcas);
    m.codigoIncidencia = int(byteEn(registro, registro::Incidencia));
    m.tarjeta = qint64(enteroGrande(registro, registro::Tarjeta));
    m.subcodigo = qint64(doble ? enteroGrande(continuacion, registro::Subcodigo) : 0);
    return m;
}

namespace {

// Why the terminal's ring cannot be the one the cursor describes, judged by
// the pointers alone; empty when it may be.
QString rupturaPorPunteros(const DestinoMarcajes::Cursor &cursor, int escritura, int lectura)
{
    const int c = cursor.posicion;
    // Reading on from the cursor meets the write pointer before the read
    // pointer: the terminal cannot have got there by reading.
    if (c == escritura || distancia(c, escritura) >= distancia(c, lectura))
        return {};
    if (lectura == SiguientePosicion(escritura))
        return QStringLiteral("memoria llena");
    return QStringLiteral("los punteros del terminal no siguen a la última lectura: memoria borrada o terminal "
                          "sustituido");
}

} // namespace

quint8 LeerMarcajes(const Contexto &ctx, const TerminalRecord &terminal, DestinoMarcajes &destino, long &contador,
                    quint8 modo, QString *errorBaseDatos,
                    const std::function<void(const ProgresoDescarga &)> &alAvanzar)
{
    using Cursor = DestinoMarcajes::Cursor;
    const auto fallo = [&](const QString &error) {
        if (errorBaseDatos)
            *errorBaseDatos = error.isEmpty() ? QStringLiteral("error desconocido") : error;
    };
    // Nothing is read for a destination that cannot even be asked where to start.
    QString errorCursor;
    const std::optional<Cursor> cursor = destino.LeerCursor(errorCursor);
    if (!errorCursor.isEmpty()) {
        fallo(errorCursor);
        return 0;
    }
    QByteArray r(kora::kLongitudMaxima, 0);
    if (LeerPunteros(ctx, terminal, r) != 0)
        return 3;
    const int escritura = PunteroEscritura(r);
    const int lectura = PunteroLectura(r);

    ProgresoDescarga progreso;
    const auto avisar = [&] {
        if (alAvanzar) {
            progreso.contador = contador;
            alAvanzar(progreso);
        }
    };
    int p = 0;
    bool comprobar = false; // the slot before p must read as the cursor remembers it
    if (modo == 1) {
        p = SiguientePosicion(escritura);
    } else if (!cursor) {
        // Met for the first time: where its read pointer says, two slots back
        // so that a two-slot punch cut by an earlier reader is read whole. A
        // read pointer one past the write pointer has read the end marker.
        const int noLeido = lectura == SiguientePosicion(escritura) ? escritura : lectura;
        p = PosicionAnterior(PosicionAnterior(noLeido));
    } else if (progreso.continuidadPerdida = rupturaPorPunteros(*cursor, escritura, lectura);
               !progreso.continuidadPerdida.isEmpty()) {
        p = SiguientePosicion(escritura);
    } else {
        p = cursor->posicion;
        comprobar = !cursor->anterior.isEmpty();
    }
    const auto fijarCursor = [&](const Cursor &c) {
        if (const QString e = destino.FijarCursor(c); !e.isEmpty()) {
            fallo(e);
            return false;
        }
        return true;
    };
    // The cursor says where this download starts before anything is read: a
    // crash before its first batch is stored brings the pointer back here.
    if (!comprobar && (!cursor || cursor->posicion != p || !cursor->anterior.isEmpty()) && !fijarCursor({p, {}}))
        return 0;

    // Where the terminal's read pointer is known to stand before the first
    // read (-1: ask for it); the first read walks it back there if need be.
    int puntero = lectura;
    const std::function<void()> alPaso = [&] {
        ++progreso.pasos;
        avisar();
    };
    const auto situar = [&](int destinoPuntero) {
        progreso.pasos = 0;
        progreso.pasosTotal = puntero < 0 ? 0 : qMax(0, distancia(destinoPuntero, puntero) - 1);
    };
    if (comprobar) {
        // One exchange when nothing happened: the slot before the cursor, read
        // again where the last download left the read pointer.
        situar(p);
        const quint8 s = leerRegistro(ctx, terminal, PosicionAnterior(p), r, 1, puntero, alPaso);
        if (ctx.cancelado())
            return 0;
        if (s == 0 && r.left(kora::registro::Bytes) == cursor->anterior) {
            puntero = -2; // stands at p: read-next from here
        } else if (s == 0) {
            progreso.continuidadPerdida = QStringLiteral("el último registro leído ya no está en el terminal: "
                                                         "memoria borrada, desbordada o terminal sustituido");
            if (lectura == SiguientePosicion(escritura))
                progreso.continuidadPerdida = QStringLiteral("memoria llena");
            puntero = p;
            p = SiguientePosicion(escritura);
            if (!fijarCursor({p, {}}))
                return 0;
        } else {
            puntero = -1; // not checked (a terminal that will not step back): read on as the pointers allow
        }
    }
    const bool todo = modo == 1 || !progreso.continuidadPerdida.isEmpty();
    progreso.pendientes = todo ? kPosicionesAnillo - 1 : distancia(p, escritura);
    if (!progreso.continuidadPerdida.isEmpty())
        avisar();
    if (puntero != -2)
        situar(p);

    const auto leer = [&](int posicion) -> quint8 {
        if (puntero == -2)
            return LeerRegistro(ctx, terminal, posicion, r, 0);
        const int conocido = puntero;
        puntero = -2;
        if (leerRegistro(ctx, terminal, posicion, r, 1, conocido, alPaso) == 0)
            return 0;
        // A walk that did not get there (a terminal that will not step back)
        // leaves the pointer somewhere on its way: read on from there, once it
        // is known where that is.
        if (todo || ctx.cancelado() || LeerPunteros(ctx, terminal, r) != 0)
            return 3;
        const int ahora = PunteroLectura(r);
        if (distancia(posicion, ahora) > distancia(posicion, lectura) || distancia(ahora, escritura) == 0)
            return 3;
        p = ahora;
        return LeerRegistro(ctx, terminal, p, r, 0);
    };

    QVector<MarcajeLeido> lote;
    QByteArray anterior = comprobar && puntero == -2 ? cursor->anterior : QByteArray(); // bytes of the slot before p
    int sinCursor = 0; // slots read since the cursor was last stored
    QElapsedTimer desdeCursor;
    desdeCursor.start();
    // Stores what was read, with the cursor; on a failure the read pointer
    // goes back to the first punch not stored while the terminal is still ours.
    const auto grabar = [&]() -> bool {
        if (lote.isEmpty() && sinCursor == 0)
            return true;
        const DestinoMarcajes::Resultado res = destino.Grabar(lote, {p, anterior});
        contador += res.grabados;
        if (!res.error.isEmpty() || res.hechos < lote.size()) {
            if (res.hechos < lote.size() && !ctx.cancelado() && destino.Retiene())
                SituarPunteroLectura(ctx, terminal, lote[qMax(0, res.hechos)].inicio);
            fallo(res.error);
            lote.clear();
            return false;
        }
        lote.clear();
        sinCursor = 0;
        desdeCursor.restart();
        avisar();
        return true;
    };

    // Up to the write pointer as it stood at the start: its slot is the end
    // marker, or the first punch written since, which the next download reads.
    while (distancia(p, escritura) > 0 && !ctx.cancelado()) {
        if (leer(p) != 0)
            break;
        ++progreso.posiciones;
        ++sinCursor;
        const QByteArray registro = r.left(kora::registro::Bytes);
        const int inicio = p;
        QByteArray ultimo = registro;
        const ClaseRegistro clase = ClasificarRegistro(registro);
        // An end marker before the write pointer is a never-written slot: passed over.
        if (clase == ClaseRegistro::Simple || clase == ClaseRegistro::Doble) {
            QByteArray continuacion;
            if (clase == ClaseRegistro::Doble) {
                p = SiguientePosicion(p);
                // A continuation not written yet, or not readable now: the punch is
                // read whole by a later download.
                if (p == escritura || LeerRegistro(ctx, terminal, p, r, 0) != 0) {
                    p = inicio;
                    if (!grabar())
                        return 0;
                    if (destino.Retiene())
                        SituarPunteroLectura(ctx, terminal, inicio);
                    break;
                }
                ++progreso.posiciones;
                ++sinCursor;
                continuacion = ultimo = r.left(kora::registro::Bytes);
            }
            Marcaje m = DecodificarMarcaje(registro, continuacion);
            m.numeroTerminal = terminal.codigo;
            if (m.fechaHora.isValid())
                lote.append({m, inicio, SiguientePosicion(p), ultimo});
        }
        p = SiguientePosicion(p);
        anterior = ultimo;
        progreso.pendientes = distancia(p, escritura);
        if ((lote.size() >= kLote || sinCursor >= kLote || desdeCursor.elapsed() >= kLoteMs) && !grabar())
            return 0;
        avisar();
    }
    // Closing: what was read is stored, and the cursor moves over what held no punch.
    grabar();
    progreso.pendientes = distancia(p, escritura);
    avisar(); // what is left unread
    return 0;
}

// ---- clock ------------------------------------------------------------------

quint8 EscribirFechaHora(const Contexto &ctx, const TerminalRecord &terminal, int segundos, int minutos, int horas,
                         int diaSemana, int dia, int mes, int anio)
{
    QList<Datos> valores;
    for (int v : {segundos, minutos, horas, diaSemana, dia, mes, anio})
        valores.append(Datos::entero32(v));
    return ejecutar(ctx, terminal, kora::EscribirReloj, Datos::arregloVariantes(valores));
}

QByteArray RegistroReloj(const QDateTime &m)
{
    using namespace kora::reloj;
    const QTime t = m.time();
    const QDate d = m.date();
    QByteArray r(Bytes, 0);
    r[Segundo] = char(aBcd(t.second()));
    r[Minuto] = char(aBcd(t.minute()));
    r[Hora] = char(aBcd(t.hour()));
    r[DiaSemana] = char(d.dayOfWeek());
    r[Dia] = char(aBcd(d.day()));
    r[Mes] = char(aBcd(d.month()));
    r[Anio] = char(aBcd(((d.year() % 100) + 100) % 100));
    return r;
}

int DesdeBcd(quint8 b) { return 10 * (b / 16) + (b & 15); }

QDateTime HoraDelReloj(const QByteArray &r)
{
    using namespace kora::reloj;
    const auto campo = [&](int i) { return DesdeBcd(byteEn(r, i)); };
    const QDateTime momento = QDateTime(ComponerFecha(campo(Anio), campo(Mes), campo(Dia)), QTime(0, 0), QTimeZone::utc())
                                  .addSecs(qint64(campo(Hora)) * 3600 + campo(Minuto) * 60 + campo(Segundo));
    return momento.isValid() ? momento : QDateTime();
}

bool EnviarFechaHora(const Contexto &ctx, const TerminalRecord &terminal, const QDateTime &momento)
{
    using namespace kora::reloj;
    const QByteArray r = RegistroReloj(momento);
    const auto campo = [&](int i) { return int(quint8(r[i])); };
    return EscribirFechaHora(ctx, terminal, campo(Segundo), campo(Minuto), campo(Hora), campo(DiaSemana), campo(Dia),
                             campo(Mes), campo(Anio)) == 0;
}

quint8 LeerFechaHora(const Contexto &ctx, const TerminalRecord &terminal, QByteArray &respuesta)
{
    return ejecutar(ctx, terminal, kora::LeerReloj, Datos(), &respuesta);
}

// ---- incidents ----------------------------------------------------------------

QByteArray CampoIncidencia(const QString &descripcion, bool marca)
{
    const QByteArray ansi = aAnsi(descripcion);
    using namespace kora::incidencia;
    QByteArray campo(Bytes, 0);
    for (int i = 0; i < Bytes && i < ansi.size(); ++i)
        campo[i] = ansi[i];
    if (marca)
        campo[Bytes - 1] = char(quint8(campo[Bytes - 1]) | Marca);
    return campo;
}

QString TextoIncidencia(const QByteArray &campo)
{
    QByteArray bytes;
    for (int i = 0; i < kora::incidencia::Bytes && i < campo.size(); ++i) {
        const quint8 b = quint8(campo[i]);
        if (b & kora::incidencia::Marca)
            break;
        if (b != 0)
            bytes.append(char(b));
    }
    return desdeAnsi(bytes);
}

int EnviarIncidencia(const Contexto &ctx, const TerminalRecord &terminal, int numero, bool marca,
                     const QString &descripcion)
{
    if (numero < 1)
        return 1; // there is no slot for it; nothing is sent
    QByteArray datos(1, char((numero - 1) & 0xFF));
    datos += CampoIncidencia(descripcion, marca);
    return ejecutar(ctx, terminal, kora::EscribirIncidencia, Datos::arregloBytes(datos));
}

int LeerIncidencia(const Contexto &ctx, const TerminalRecord &terminal, int numero, QByteArray &respuesta)
{
    return ejecutar(ctx, terminal, kora::LeerIncidencia, Datos::entero32(numero - 1), &respuesta);
}

int AsegurarIncidencias(const Contexto &ctx, const TerminalRecord &terminal)
{
    QByteArray datos(kora::bytesDatos(kora::EscribirIncidencia), 0);
    datos[0] = char(kora::incidencia::Asegurar);
    return ejecutar(ctx, terminal, kora::EscribirIncidencia, Datos::arregloBytes(datos));
}

} // namespace MOD_comunicaciones_kora
