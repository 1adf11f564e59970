#pragma once
// One simulated terminal: punch ring with its two pointers, clock, incident
// slots and injected faults. Every member is thread-safe: tests and the
// program change a terminal while the simulator thread serves requests.

#include "tools/sim/protocolo.h"

#include <QMutex>
#include <QString>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace korasim {

// "Every Nth" counters count from the moment the faults were last set; 0 = never, 1 = always.
struct Fallos {
    bool silencioso = false;        // never answers (the RS-485 converter still echoes)
    int descartarCada = 0;          // drop every Nth answer
    int corromperCada = 0;          // wrong checksum in every Nth answer
    int byteExtraCada = 0;          // one byte too many in every Nth answer
    int retrasoMs = 0;              // answer this late
    int tardeCada = 0;              // every Nth answer comes tardeMs late instead
    int tardeMs = 1500;             // longer than the program's timeout in the tests
    bool sinEco = false;            // the RS-485 converter does not echo requests to this terminal
    bool ignorarRetroceso = false;  // sub-function 2 answered but the read pointer stays
    int perderLecturaCada = 0;      // every Nth read-next advances the pointer, answer lost

    bool operator==(const Fallos &) const = default;
};

// Applies one fault given as text: silent, drop=N, corrupt[=N], extra[=N],
// delay=MS, late=N, latems=MS, noecho, nostepback, loseread=N, none. False on
// a text it does not know.
bool aplicarFallo(Fallos &fallos, QStringView texto);

// What never-written ring slots hold.
enum class Relleno { MarcaFin, Ceros };

// What read-next does under the write pointer: advance past it like any other
// slot (what terminals are specified to do), or stay there so that the next
// punch written is the next one read.
enum class AlFinal { Avanza, Retiene };

// What a write does to a full ring (4499 unread, the read pointer one past the
// write pointer): go on over unread slots leaving the read pointer, push the
// read pointer ahead (the oldest unread punch is lost), or refuse the punch.
enum class Desborde { Sobrescribe, Empuja, Rechaza };

class Terminal {
public:
    explicit Terminal(quint8 codigo);

    quint8 codigo() const { return codigo_; }

    // Empties the ring (pointers to 0). With `marcaEnEscritura` the slot under
    // the write pointer always holds the end marker, as terminals keep it;
    // without it the ring has no end marker at all.
    void configurarAnillo(Relleno relleno, bool marcaEnEscritura = true);
    void fijarAlFinal(AlFinal comportamiento);
    AlFinal alFinal() const;
    void fijarDesborde(Desborde comportamiento);
    Desborde desborde() const;
    int rechazados() const;  // slots refused by a full ring so far

    // A technician's reset: every slot as never written, both pointers to 0.
    void reiniciarMemoria();
    // Moves the read pointer as n read-next orders from another program would.
    void leerComoOtroPrograma(int n);

    // Write at the write pointer and advance it. Return the first slot used, or
    // -1 when a full ring refused everything; a two-slot punch is refused whole.
    int agregarMarcaje(const QDateTime &momento, quint32 tarjeta, quint8 banderas = 0,
                       quint8 incidencia = 0);
    int agregarMarcajeDoble(const QDateTime &momento, quint32 tarjeta, quint32 subcodigo,
                            quint8 banderas = 0, quint8 incidencia = 0);
    int agregarRegistro(const Registro &r);
    int agregarRegistros(const std::vector<Registro> &rs);

    Registro registro(int posicion) const;
    void escribirRegistro(int posicion, const Registro &r);
    int punteroEscritura() const;
    int punteroLectura() const;
    // Places the pointers directly (out-of-range values wrap); the end marker is
    // put under the new write pointer when the ring keeps one.
    void fijarPunteros(int escritura, int lectura);

    // Simulated clock: an offset to the host clock, which grows by `deriva`
    // seconds per day from the last time it was set (a crystal running fast
    // or, negative, slow). A clock set (command 2) sets it too.
    QDateTime fechaHora() const;
    void fijarFechaHora(const QDateTime &momento);
    void fijarDeriva(double segundosPorDia);
    // The host clock the terminal's runs on (local time); none = the real
    // one. Tests share theirs with the program; it is called on the
    // simulator's thread.
    void fijarRelojAnfitrion(std::function<QDateTime()> reloj);
    // Makes every clock read answer this record (nullopt = the running clock).
    void fijarRespuestaReloj(std::optional<RegistroReloj> registro);
    std::optional<RegistroReloj> ultimoRelojRecibido() const;
    int relojesRecibidos() const;

    QByteArray incidencia(int slot) const;  // 16 bytes; empty for a slot out of 0..98
    void fijarIncidencia(int slot, QByteArrayView texto16);
    int ordenesAsegurar() const;
    int incidenciasEscritas() const;

    Fallos fallos() const;
    void fijarFallos(const Fallos &f);
    void modificarFallos(const std::function<void(Fallos &)> &cambio);
    bool sinEco() const;

    // Serves one request addressed to this terminal.
    struct Salida {
        std::optional<QByteArray> bytes;  // nullopt: no answer
        int retrasoMs = 0;
        QString nota;                     // why there is no answer, or what was altered
    };
    Salida atender(const Trama &trama);

private:
    QByteArray cargaMarcajes(quint8 sub, QString &nota, bool &perder);
    void ponerMarcaLocked();
    void vaciarLocked();
    void avanzarLecturaLocked();
    int agregarLocked(std::span<const Registro> rs, bool entero);

    const quint8 codigo_;
    mutable QMutex mutex_;
    std::vector<Registro> anillo_;
    Relleno relleno_ = Relleno::MarcaFin;
    bool marcaEnEscritura_ = true;
    AlFinal alFinal_ = AlFinal::Avanza;
    Desborde desborde_ = Desborde::Sobrescribe;
    int rechazados_ = 0;
    int escritura_ = 0;
    int lectura_ = 0;

    QDateTime ahoraLocked() const; // the terminal's clock
    void fijarFechaHoraLocked(const QDateTime &momento);
    qint64 desfaseMs_ = 0;
    double deriva_ = 0;      // seconds per day
    QDateTime ajustadoEn_;   // host time of the last set, where the drift starts
    std::function<QDateTime()> anfitrion_;
    std::optional<RegistroReloj> relojFijo_;
    std::optional<RegistroReloj> ultimoReloj_;
    int relojesRecibidos_ = 0;

    std::vector<QByteArray> incidencias_;
    int asegurar_ = 0;
    int incidenciasEscritas_ = 0;

    Fallos fallos_;
    quint64 respuestas_ = 0;   // answers produced since the faults were set
    quint64 lecturas_ = 0;     // read-next orders since the faults were set
};

}  // namespace korasim
