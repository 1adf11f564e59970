#pragma once
// Terminal commands: one procedure per command, all on one execution pattern,
// and the punch download built on them. Every procedure receives the terminal
// record (a copy taken when the job was queued) and the shared transports, so
// it can run on the communications worker thread. Status 0 = the terminal
// answered correctly, 1 = no usable answer; the output buffer is written only
// on success.

#include "common/marcaje.h"
#include "common/terminal.h"
#include "link/class_rs485.h"
#include "link/kora.h"

#include <QByteArray>
#include <QDateTime>
#include <QVector>
#include <functional>
#include <optional>

namespace MOD_comunicaciones_kora {

using kora::kPuertoTcp;
constexpr int kPosicionesAnillo = kora::kPosiciones;

// What every command shares: the one serial port, the one TCP socket, the
// reply timeout in seconds, and the flag that stops waits when the program closes.
struct Contexto {
    PuertoSerie *MSComm1 = nullptr;
    SocketTcp *Winsock1 = nullptr;
    qint16 TimeoutComunicaciones = 5;
    const Cancelacion *cancelar = nullptr;
    // Why the last exchange that failed did, in the link's words: what an
    // error line adds in brackets. Each lane owns its context.
    mutable QString motivo;

    bool cancelado() const { return cancelar && cancelar->load(); }
};

// The common execution pattern; `respuesta` receives the 31 answer bytes on success.
quint8 EjecutarComando(const Contexto &ctx, const TerminalRecord &terminal, quint8 codigo, quint8 longitud,
                       quint8 reintentos, const Datos &datos, QByteArray *respuesta = nullptr);

// Punch ring.
quint8 LeerPunteros(const Contexto &ctx, const TerminalRecord &terminal, QByteArray &respuesta);
quint8 ComandoMarcajes(const Contexto &ctx, const TerminalRecord &terminal, qint16 subfuncion, QByteArray &respuesta);
int SiguientePosicion(int p);
int PosicionAnterior(int p);
int PunteroEscritura(const QByteArray &respuesta);
int PunteroLectura(const QByteArray &respuesta);
// Status 0 = `respuesta` holds the record at `posicion`; 3 = not obtained.
quint8 LeerRegistro(const Contexto &ctx, const TerminalRecord &terminal, int posicion, QByteArray &respuesta,
                    quint8 localizarPrimero);

// A terminal's date: two-digit years 00..29 are 20xx, 30..99 19xx; a month or
// day out of range carries into the next unit (month 13 = January of the next
// year, day 0 = the last day of the month before).
QDate ComponerFecha(int anio, int mes, int dia);
// Date and time of a punch record, carried the same way up from the seconds;
// invalid when no representable date results.
QDateTime ComponerFechaHora(const QByteArray &registro);

// What a 14-byte ring record holds.
enum class ClaseRegistro {
    Fin,      // end marker
    Invalido, // card 0, wrong checksum, or a one-slot punch flagged to be ignored
    Simple,   // one-slot punch
    Doble,    // punch that continues in the next slot
};
ClaseRegistro ClasificarRegistro(const QByteArray &registro);

// The punch a valid record holds; `continuacion` is the next slot of a
// two-slot punch. Invalid fechaHora when no representable date results.
Marcaje DecodificarMarcaje(const QByteArray &registro, const QByteArray &continuacion = {});

// Where a download hands its punches: the caller owns the store.
class DestinoMarcajes {
public:
    // Where the next download resumes: the ring position after the last slot
    // read and dealt with.
    using Cursor = CursorTerminal;
    struct Resultado {
        int grabados = 0;  // stored (counted); duplicates and punches set aside are not
        int hechos = 0;    // punches of the batch dealt with, from its start
        QString error;     // why it stopped before the end of the batch
    };
    virtual ~DestinoMarcajes() = default;
    // The cursor stored by an earlier download, when the destination keeps
    // one; `error` set when it cannot be asked.
    virtual std::optional<Cursor> LeerCursor(QString &error) = 0;
    // Stores a batch (possibly empty) in one transaction and, with it, `tras`
    // as the cursor; a batch that stops early leaves the cursor after the
    // last punch dealt with.
    virtual Resultado Grabar(const QVector<MarcajeLeido> &lote, const Cursor &tras) = 0;
    // The cursor alone; the error when it could not be stored.
    virtual QString FijarCursor(const Cursor &cursor) = 0;
    // Whether this program still holds the terminal (against other collectors
    // on the same database). A download that lost it sends nothing more.
    virtual bool Retiene() { return true; }
};

struct ProgresoDescarga {
    int posiciones = 0; // ring positions read so far
    long contador = 0;  // the caller's punch counter
    int pasos = 0;      // steps of the read pointer's walk back so far
    int pasosTotal = 0; // steps that walk needs (0 = no walk)
    int pendientes = -1; // ring positions left up to the write pointer as last reported (-1 = not read)
    // Set once the download found that the terminal's ring is not the one its
    // cursor describes, and why: it then reads every slot the ring holds.
    QString continuidadPerdida;
};

// Punches read are stored in batches of at most this many, or of what was
// read in this many milliseconds, whichever comes first.
constexpr int kLote = 256;
constexpr int kLoteMs = 200;

// Downloads new punches (mode 0) or every punch the terminal keeps (mode 1)
// into `destino`. Adds the stored punches to `contador`. Status 0 = the
// download ran (it may have stopped early), 3 = the pointers could not be read.
// Reading never goes past the write pointer as it stood at the start. Mode 0
// starts at the stored cursor once the slot before it reads as it did; when
// it does not, or the terminal's pointers cannot belong to the cursor's ring
// (a reset, a replaced unit, a full or overflowed ring), it reads every slot
// the ring holds, oldest first, and says so through alAvanzar. The cursor
// moves with every batch, also over slots that hold no punch. When a batch
// could not be stored (or the destination cannot be read or written), the
// download stops, the read pointer is put back on the first punch not stored
// while the destination still holds the terminal, and *errorBaseDatos
// receives the description.
quint8 LeerMarcajes(const Contexto &ctx, const TerminalRecord &terminal, DestinoMarcajes &destino, long &contador,
                    quint8 modo, QString *errorBaseDatos = nullptr,
                    const std::function<void(const ProgresoDescarga &)> &alAvanzar = {});

// Clock.
quint8 EscribirFechaHora(const Contexto &ctx, const TerminalRecord &terminal, int segundos, int minutos, int horas,
                         int diaSemana, int dia, int mes, int anio);
bool EnviarFechaHora(const Contexto &ctx, const TerminalRecord &terminal, const QDateTime &momento);
quint8 LeerFechaHora(const Contexto &ctx, const TerminalRecord &terminal, QByteArray &respuesta);
// The seven record bytes for a moment: BCD fields, weekday Monday = 1.
QByteArray RegistroReloj(const QDateTime &momento);
int DesdeBcd(quint8 b);
// The wall-clock time a clock record holds, as a UTC date-time (no zone's
// gap or repeated hour applies), carried up from the seconds as a punch's
// date is; invalid when no date results.
QDateTime HoraDelReloj(const QByteArray &registro);

// Incidents.
int EnviarIncidencia(const Contexto &ctx, const TerminalRecord &terminal, int numero, bool marca,
                     const QString &descripcion);
int LeerIncidencia(const Contexto &ctx, const TerminalRecord &terminal, int numero, QByteArray &respuesta);
int AsegurarIncidencias(const Contexto &ctx, const TerminalRecord &terminal);
// The 16-byte text field sent for a description.
QByteArray CampoIncidencia(const QString &descripcion, bool marca);
// Text of a field read back: stops before the first byte with bit 7 set,
// skips zero bytes. Not trimmed.
QString TextoIncidencia(const QByteArray &campo);

} // namespace MOD_comunicaciones_kora
