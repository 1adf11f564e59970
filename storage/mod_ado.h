#pragma once
// The attendance database: terminal table, punch store, incident catalogue.
// Every operation opens its own connection on the calling thread and closes it
// before returning. Nothing here shows anything: operations that the operator
// must hear about return the database's own error description (empty = fine).

#include "common/marcaje.h"
#include "common/terminal.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <array>
#include <memory>
#include <optional>

namespace MOD_ado {

// Where the database is: RutaBaseDatos picks the backend (.mdb/.accdb through
// ODBC, postgresql:// URL, anything else an SQLite file); ClaveBaseDatos is the
// Access database password.
struct CadenaConexion {
    QString RutaBaseDatos;
    QString ClaveBaseDatos;
};

// The database path as it may be shown: a PostgreSQL URL with its password
// replaced by ***. Every message this module builds names the database so.
QString RutaParaMostrar(const QString &ruta);
// Whether the path holds a password (a PostgreSQL URL with one).
bool LlevaClave(const QString &ruta);
// A warning for a connection that does not check whom it talks to (a server
// on another machine without sslmode verify-ca or verify-full); empty when none.
QString AvisoConexion(const QString &ruta);

// Keeps the database drivers' own warnings that follow a lost connection
// ("Unable to free statement") off standard error and the journal, where
// the program reports the loss itself; other messages lose their trailing
// line breaks. Once, at start.
void SilenciarAvisosDeControladores();

// Creates the SQLite file, its folder and the three tables when missing.
// Returns the error description, empty on success.
QString PrepararBaseDatos(const CadenaConexion &cc);

// The terminal table, in table order, into `terminales` (the window or the
// service owns it); on an error, the rows read before it.
QString CargarTerminales(const CadenaConexion &cc, QVector<TerminalRecord> &terminales);
// Values are the texts of the editor's boxes; codigo, tipo and Com must be numbers.
QString InsertarTerminal(const CadenaConexion &cc, const QString &codigo, const QString &descripcion,
                         const QString &ip, const QString &tipo, const QString &Com);
QString ModificarTerminal(const CadenaConexion &cc, const QString &id, const QString &codigo,
                          const QString &descripcion, const QString &ip, const QString &tipo,
                          const QString &Com);
QString BorrarTerminal(const CadenaConexion &cc, const QString &id);

// Rechazado: the database refused this punch for a reason of its own (a
// constraint, a trigger) while it accepts other writes; Apartado: such a punch,
// refused too often, was written to the file of refused punches instead.
enum class ResultadoGrabacion { Insertado, Duplicado, ErrorBaseDatos, Rechazado, Apartado };

// Stores one punch unless the terminal already has one at the same second.
// The count and the insert run in one transaction. On ErrorBaseDatos, *error
// (when given) receives the description.
ResultadoGrabacion GrabarMarcaje(const CadenaConexion &cc, int numeroTerminal, const QDateTime &fechaHora,
                                 int entradaSalida, int codigoIncidencia, quint32 tarjeta, quint32 subcodigo,
                                 QString *error = nullptr);

using ::Marcaje;
ResultadoGrabacion GrabarMarcaje(const CadenaConexion &cc, const Marcaje &m, QString *error = nullptr);

class Conexion;
struct EstadoTerminal;

using ::CursorTerminal;

// The punch store for downloads: one connection kept open while the punches
// are stored, a batch (or one punch) per transaction, synced at its commit.
// Opening a connection per punch costs several file syncs. The connection is
// opened again after any fault,
// when the database file is no longer there, or when cc's path changes.
// Keeps a reference to cc: it must outlive the store.
class AlmacenMarcajes {
public:
    explicit AlmacenMarcajes(const CadenaConexion &cc);
    ~AlmacenMarcajes();
    AlmacenMarcajes(const AlmacenMarcajes &) = delete;
    AlmacenMarcajes &operator=(const AlmacenMarcajes &) = delete;

    // Per terminal (`clave`), the ring position after the last slot dealt
    // with, kept in the program's own table kalverostin_terminales and written
    // in the same transaction as the punches before it: a download that was
    // cut between a read and its commit resumes exactly there. nullopt when
    // not known (no row yet, or an Access database, which keeps no cursor).
    // On a database that cannot be read, or whose cursor table cannot be
    // used, *error (when given) says why.
    std::optional<CursorTerminal> Cursor(const QString &clave, QString *error = nullptr);
    // Stores the punch and, with it, `siguiente` as the terminal's cursor
    // (a duplicate changes nothing). A punch refused kIntentosRechazo times in
    // a row is appended to ArchivoRechazados() and the cursor moves past it.
    ResultadoGrabacion Grabar(const Marcaje &m, const QString &clave, const CursorTerminal &siguiente,
                              QString *error = nullptr);
    // A batch of one terminal's punches, in ring order, each with the ring
    // position after it and its last slot's bytes. Stored in one transaction, synced once at its
    // commit, with the duplicate rule (against the table and within the
    // batch) and the cursor set to `tras` (by default the last punch's
    // position; an empty batch stores only `tras`). When a row is refused,
    // the punches before it are still stored (and the cursor left on the
    // refused one, or past it once it is set aside).
    struct ResultadoLote {
        int insertados = 0, duplicados = 0, apartados = 0;
        int hechos = 0; // punches of the batch dealt with, from its start: all of them unless it stopped
        ResultadoGrabacion parada = ResultadoGrabacion::Insertado; // ErrorBaseDatos or Rechazado when it stopped
        QString error;
        QStringList apartadosTexto; // "<date time> tarjeta <card> (<reason>)" per punch set aside
    };
    ResultadoLote GrabarLote(const QString &clave, const QVector<MarcajeLeido> &lote,
                             const std::optional<CursorTerminal> &tras = std::nullopt);

    // Refusals of the terminal's next punch so far.
    int Rechazos(const QString &clave);

    // Across programs sharing a database: false while another collector
    // holds the same terminal, whose read pointer both would otherwise move
    // at once. On PostgreSQL an advisory lock, held until SoltarTerminal or
    // until this connection ends (a crashed collector holds nothing). On an
    // SQLite file a lease row in kalverostin_terminales, renewed with every
    // batch and kept between downloads; a collector that stops lets it
    // expire after kArriendoSegundos. Access, or a database that cannot be
    // reached, always gives true.
    bool TomarTerminal(const QString &clave);
    static constexpr int kArriendoSegundos = 600;
    // Who holds the leases taken here; by default this machine and config.ini.
    void fijarColector(const QString &nombre);
    void SoltarTerminal(const QString &clave);
    // Whether the terminal taken is still this program's: on PostgreSQL the
    // lock goes with the connection, which a fault ends.
    bool Retiene(const QString &clave) const;
    const CadenaConexion &cadena() const { return cc_; }
    // The cursor alone, when records that hold no punch were passed over.
    QString FijarCursor(const QString &clave, int posicion, const QByteArray &anterior = {});
    // The terminal's status (estado_terminales.h); none when it was never
    // stored or cannot be read. Storing it is best effort: false when it could
    // not be. A status that differs from the stored one only in the moments of
    // last read and last failure waits in memory, shared by every store of
    // this process, and is written with the next change of any terminal or
    // after five minutes (EscribirEstadosPendientes at the end).
    std::optional<EstadoTerminal> Estado(const QString &clave);
    bool GuardarEstado(const QString &clave, const EstadoTerminal &estado);
    // rechazados.csv beside an SQLite or Access file; in the per-user data
    // folder for a server database.
    QString ArchivoRechazados() const;
    static constexpr int kIntentosRechazo = 3;

private:
    // Opens the connection unless the one kept still serves; recienAbierta_
    // tells whether this call made it.
    bool abrir(QString &error);
    bool recienAbierta_ = false;
    // The cursor read with the terminal's lock, for the Cursor() that follows.
    std::optional<std::pair<QString, std::optional<CursorTerminal>>> cursorTomado_;
    QString renovarArriendos();
    std::optional<CursorTerminal> cursorEn(const QString &clave, QString *error = nullptr);
    QString renovarArriendo(const QString &clave);
    QString colector() const;
    QString escribirCursor(const QString &clave, int posicion, const QByteArray &anterior);
    QString apartar(const Marcaje &m, const QString &motivo);

    const CadenaConexion cc_;
    QString rutaAbierta_;
    std::unique_ptr<Conexion> con_;
    bool cursores_ = false; // the cursor table is usable on con_
    QString errorCursores_; // why it is not (empty on Access, which keeps none)
    int generacion_ = 0;      // connections opened so far
    QHash<QString, int> tomados_; // terminals taken: the connection that locked them (-1: lease lost)
    QString colector_;
};

// Many punches through one connection, each with the same duplicate rule, in
// transactions of a few hundred. On a fault the punches of the transaction
// under way are not stored and error says why; the counts cover what was stored.
struct ResumenGrabacion {
    int insertados = 0;
    int duplicados = 0;
    QString error;
};
ResumenGrabacion GrabarMarcajes(const CadenaConexion &cc, const QVector<Marcaje> &marcajes);

// The catalogue's descriptions in codigo order; entries beyond the rows read
// keep what they held.
using Incidencias = std::array<QString, 100>;
QString CargarIncidencias(const CadenaConexion &cc, Incidencias &descripciones);

// Adds one incident to the catalogue unless its codigo is already there.
ResultadoGrabacion GrabarIncidencia(const CadenaConexion &cc, int codigo, const QVariant &descripcion,
                                    QString *error = nullptr);

} // namespace MOD_ado
