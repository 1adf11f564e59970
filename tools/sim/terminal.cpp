#include "tools/sim/terminal.h"

#include <QMutexLocker>
#include <QtEndian>

namespace korasim {

bool aplicarFallo(Fallos &f, QStringView texto)
{
    const qsizetype igual = texto.indexOf(u'=');
    const QStringView nombre = (igual < 0 ? texto : texto.left(igual)).trimmed();
    int valor = 1;
    if (igual >= 0) {
        bool ok = false;
        valor = texto.mid(igual + 1).trimmed().toInt(&ok);
        if (!ok || valor < 0)
            return false;
    }
    if (nombre == u"none") {
        f = Fallos{};
    } else if (nombre == u"silent") {
        f.silencioso = valor != 0;
    } else if (nombre == u"drop") {
        f.descartarCada = valor;
    } else if (nombre == u"corrupt") {
        f.corromperCada = valor;
    } else if (nombre == u"extra") {
        f.byteExtraCada = valor;
    } else if (nombre == u"delay" && igual >= 0) {
        f.retrasoMs = valor;
    } else if (nombre == u"late") {
        f.tardeCada = valor;
    } else if (nombre == u"latems" && igual >= 0) {
        f.tardeMs = valor;
    } else if (nombre == u"noecho") {
        f.sinEco = valor != 0;
    } else if (nombre == u"nostepback") {
        f.ignorarRetroceso = valor != 0;
    } else if (nombre == u"loseread") {
        f.perderLecturaCada = valor;
    } else {
        return false;
    }
    return true;
}

static bool tocaCada(int cada, quint64 cuenta)
{
    return cada > 0 && cuenta % quint64(cada) == 0;
}

Terminal::Terminal(quint8 codigo)
    : codigo_(codigo), incidencias_(incidencia::Slots, QByteArray(incidencia::Bytes, '\0'))
{
    configurarAnillo(Relleno::MarcaFin, true);
}

void Terminal::configurarAnillo(Relleno relleno, bool marcaEnEscritura)
{
    QMutexLocker l(&mutex_);
    relleno_ = relleno;
    marcaEnEscritura_ = marcaEnEscritura;
    vaciarLocked();
}

void Terminal::reiniciarMemoria()
{
    QMutexLocker l(&mutex_);
    vaciarLocked();
}

void Terminal::vaciarLocked()
{
    anillo_.assign(kPosiciones, relleno_ == Relleno::MarcaFin ? registroFin() : registroCeros());
    escritura_ = lectura_ = 0;
    ponerMarcaLocked();
}

void Terminal::fijarAlFinal(AlFinal comportamiento)
{
    QMutexLocker l(&mutex_);
    alFinal_ = comportamiento;
}

AlFinal Terminal::alFinal() const
{
    QMutexLocker l(&mutex_);
    return alFinal_;
}

void Terminal::fijarDesborde(Desborde comportamiento)
{
    QMutexLocker l(&mutex_);
    desborde_ = comportamiento;
}

Desborde Terminal::desborde() const
{
    QMutexLocker l(&mutex_);
    return desborde_;
}

int Terminal::rechazados() const
{
    QMutexLocker l(&mutex_);
    return rechazados_;
}

void Terminal::ponerMarcaLocked()
{
    if (marcaEnEscritura_)
        anillo_[escritura_] = registroFin();
}

int Terminal::agregarLocked(std::span<const Registro> rs, bool entero)
{
    size_t caben = rs.size();
    if (desborde_ == Desborde::Rechaza) {
        // The write pointer never reaches the read pointer.
        const auto libres = size_t((lectura_ - escritura_ - 1 + kPosiciones) % kPosiciones);
        caben = entero && rs.size() > libres ? 0 : qMin(rs.size(), libres);
        rechazados_ += int(rs.size() - caben);
    }
    if (caben == 0)
        return -1;
    const int primero = escritura_;
    for (const Registro &r : rs.first(caben)) {
        anillo_[escritura_] = r;
        escritura_ = siguientePosicion(escritura_);
        // The ring was full: the oldest unread slot now takes the end marker.
        if (desborde_ == Desborde::Empuja && lectura_ == escritura_)
            lectura_ = siguientePosicion(lectura_);
    }
    ponerMarcaLocked();
    return primero;
}

int Terminal::agregarRegistros(const std::vector<Registro> &rs)
{
    QMutexLocker l(&mutex_);
    return agregarLocked(rs, false);
}

int Terminal::agregarRegistro(const Registro &r)
{
    return agregarRegistros({r});
}

int Terminal::agregarMarcaje(const QDateTime &momento, quint32 tarjeta, quint8 banderas, quint8 incidencia)
{
    return agregarRegistro(registroMarcaje(momento, tarjeta, banderas, incidencia));
}

int Terminal::agregarMarcajeDoble(const QDateTime &momento, quint32 tarjeta, quint32 subcodigo,
                                  quint8 banderas, quint8 incidencia)
{
    const auto rs = registrosMarcajeDoble(momento, tarjeta, subcodigo, banderas, incidencia);
    QMutexLocker l(&mutex_);
    return agregarLocked(rs, true);
}

static int enAnillo(int p)
{
    p %= kPosiciones;
    return p < 0 ? p + kPosiciones : p;
}

Registro Terminal::registro(int posicion) const
{
    QMutexLocker l(&mutex_);
    return anillo_[enAnillo(posicion)];
}

void Terminal::escribirRegistro(int posicion, const Registro &r)
{
    QMutexLocker l(&mutex_);
    anillo_[enAnillo(posicion)] = r;
}

int Terminal::punteroEscritura() const
{
    QMutexLocker l(&mutex_);
    return escritura_;
}

int Terminal::punteroLectura() const
{
    QMutexLocker l(&mutex_);
    return lectura_;
}

void Terminal::fijarPunteros(int escritura, int lectura)
{
    QMutexLocker l(&mutex_);
    escritura_ = enAnillo(escritura);
    lectura_ = enAnillo(lectura);
    ponerMarcaLocked();
}

QDateTime Terminal::ahoraLocked() const
{
    const QDateTime anfitrion = anfitrion_ ? anfitrion_() : QDateTime::currentDateTime();
    const qint64 transcurridos = ajustadoEn_.isValid() ? ajustadoEn_.msecsTo(anfitrion) : 0;
    return anfitrion.addMSecs(desfaseMs_ + qint64(deriva_ * double(transcurridos) / 86400.0));
}

void Terminal::fijarFechaHoraLocked(const QDateTime &momento)
{
    const QDateTime anfitrion = anfitrion_ ? anfitrion_() : QDateTime::currentDateTime();
    desfaseMs_ = anfitrion.msecsTo(momento);
    ajustadoEn_ = anfitrion;
}

QDateTime Terminal::fechaHora() const
{
    QMutexLocker l(&mutex_);
    return ahoraLocked();
}

void Terminal::fijarFechaHora(const QDateTime &momento)
{
    QMutexLocker l(&mutex_);
    fijarFechaHoraLocked(momento);
}

void Terminal::fijarDeriva(double segundosPorDia)
{
    QMutexLocker l(&mutex_);
    fijarFechaHoraLocked(ahoraLocked()); // the drift so far stays, the new rate runs from now
    deriva_ = segundosPorDia;
}

void Terminal::fijarRelojAnfitrion(std::function<QDateTime()> reloj)
{
    QMutexLocker l(&mutex_);
    anfitrion_ = std::move(reloj);
    ajustadoEn_ = QDateTime();
}

void Terminal::fijarRespuestaReloj(std::optional<RegistroReloj> registro)
{
    QMutexLocker l(&mutex_);
    relojFijo_ = registro;
}

std::optional<RegistroReloj> Terminal::ultimoRelojRecibido() const
{
    QMutexLocker l(&mutex_);
    return ultimoReloj_;
}

int Terminal::relojesRecibidos() const
{
    QMutexLocker l(&mutex_);
    return relojesRecibidos_;
}

QByteArray Terminal::incidencia(int slot) const
{
    QMutexLocker l(&mutex_);
    return slot >= 0 && slot < incidencia::Slots ? incidencias_[slot] : QByteArray();
}

void Terminal::fijarIncidencia(int slot, QByteArrayView texto16)
{
    QMutexLocker l(&mutex_);
    if (slot < 0 || slot >= incidencia::Slots)
        return;
    QByteArray t = texto16.first(qMin(texto16.size(), qsizetype(incidencia::Bytes))).toByteArray();
    t.resize(incidencia::Bytes, '\0');
    incidencias_[slot] = t;
}

int Terminal::ordenesAsegurar() const
{
    QMutexLocker l(&mutex_);
    return asegurar_;
}

int Terminal::incidenciasEscritas() const
{
    QMutexLocker l(&mutex_);
    return incidenciasEscritas_;
}

Fallos Terminal::fallos() const
{
    QMutexLocker l(&mutex_);
    return fallos_;
}

void Terminal::fijarFallos(const Fallos &f)
{
    QMutexLocker l(&mutex_);
    fallos_ = f;
    respuestas_ = lecturas_ = 0;
}

void Terminal::modificarFallos(const std::function<void(Fallos &)> &cambio)
{
    QMutexLocker l(&mutex_);
    cambio(fallos_);
    respuestas_ = lecturas_ = 0;
}

bool Terminal::sinEco() const
{
    QMutexLocker l(&mutex_);
    return fallos_.sinEco;
}

void Terminal::avanzarLecturaLocked()
{
    if (lectura_ != escritura_ || alFinal_ == AlFinal::Avanza)
        lectura_ = siguientePosicion(lectura_);
}

void Terminal::leerComoOtroPrograma(int n)
{
    QMutexLocker l(&mutex_);
    for (int i = 0; i < n; ++i)
        avanzarLecturaLocked();
}

QByteArray Terminal::cargaMarcajes(quint8 sub, QString &nota, bool &perder)
{
    switch (sub) {
    case LeerSiguiente: {
        const QByteArray r = aBytes(anillo_[lectura_]);
        avanzarLecturaLocked();
        ++lecturas_;
        if (tocaCada(fallos_.perderLecturaCada, lecturas_)) {
            perder = true;
            nota = QStringLiteral("read-next answer lost after advancing");
        }
        return r;
    }
    case RepetirAnterior:
        return aBytes(anillo_[posicionAnterior(lectura_)]);
    case Retroceder:
        if (fallos_.ignorarRetroceso)
            nota = QStringLiteral("step back ignored");
        else
            lectura_ = posicionAnterior(lectura_);
        return QByteArray(registro::Bytes, '\0');
    case Punteros: {
        QByteArray r(registro::Bytes, '\0');
        qToLittleEndian(quint16(escritura_), r.data() + punteros::Escritura);
        qToLittleEndian(quint16(lectura_), r.data() + punteros::Lectura);
        return r;
    }
    default:
        nota = QStringLiteral("unknown sub-function %1").arg(sub);
        return {};
    }
}

Terminal::Salida Terminal::atender(const Trama &t)
{
    QMutexLocker l(&mutex_);
    Salida s;
    if (fallos_.silencioso) {
        s.nota = QStringLiteral("silent");
        return s;
    }
    QByteArray carga;
    bool perder = false;
    const quint8 d0 = t.datos.isEmpty() ? 0 : quint8(t.datos[0]);
    switch (t.codigo) {
    case LeerReloj: {
        const RegistroReloj r = relojFijo_ ? *relojFijo_
                                           : registroReloj(ahoraLocked());
        carga = QByteArray(reinterpret_cast<const char *>(r.data()), int(r.size()));
        break;
    }
    case EscribirReloj: {
        RegistroReloj r{};
        for (int i = 0; i < reloj::Bytes; ++i)
            r[i] = quint8(t.datos[i]);
        ultimoReloj_ = r;
        ++relojesRecibidos_;
        const QDateTime nueva = fechaDeRegistroReloj(r);
        if (nueva.isValid())
            fijarFechaHoraLocked(nueva);
        else
            s.nota = QStringLiteral("invalid clock record kept out");
        break;
    }
    case LeerIncidencia:
        carga = d0 < incidencia::Slots ? incidencias_[d0] : QByteArray(incidencia::Bytes, '\0');
        break;
    case EscribirIncidencia:
        if (d0 == incidencia::Asegurar) {
            ++asegurar_;
        } else if (d0 < incidencia::Slots) {
            incidencias_[d0] = t.datos.mid(1, incidencia::Bytes);
            ++incidenciasEscritas_;
        } else {
            s.nota = QStringLiteral("slot %1 ignored").arg(d0);
        }
        break;
    case Marcajes:
        carga = cargaMarcajes(d0, s.nota, perder);
        if (carga.isEmpty())
            return s;
        break;
    default:
        s.nota = QStringLiteral("unknown command");
        return s;
    }
    if (perder)
        return s;

    ++respuestas_;
    if (tocaCada(fallos_.descartarCada, respuestas_)) {
        s.nota = QStringLiteral("answer dropped");
        return s;
    }
    QByteArray r = respuesta(t.bytes, carga);
    QStringList notas;
    if (!s.nota.isEmpty())
        notas << s.nota;
    if (tocaCada(fallos_.corromperCada, respuestas_)) {
        r.back() = char(quint8(r.back()) + 1);
        notas << QStringLiteral("checksum corrupted");
    }
    if (tocaCada(fallos_.byteExtraCada, respuestas_)) {
        r.append(char(0x55));
        notas << QStringLiteral("extra byte");
    }
    s.retrasoMs = tocaCada(fallos_.tardeCada, respuestas_) ? fallos_.tardeMs : fallos_.retrasoMs;
    if (s.retrasoMs > 0)
        notas << QStringLiteral("late by %1 ms").arg(s.retrasoMs);
    s.bytes = r;
    s.nota = notas.join(QStringLiteral(", "));
    return s;
}

}  // namespace korasim
