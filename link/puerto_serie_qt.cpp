#include "link/puerto_serie_qt.h"

#include <algorithm>
#include <utility>

namespace {
// Longest time a wait blocks before it looks at the cancellation flag again.
constexpr int kRebanadaMs = 50;
// A port that cannot hand 33 bytes to the line within this time is broken
// (no flow control is used, so nothing legitimate can hold it back).
constexpr int kLimiteEnvioMs = 5000;
// Silence that tells an abandoned answer is over once its bytes are in or its
// time is up: far longer than a gap between one answer's bytes.
constexpr int kCalmaMs = 50;
// A line that never falls quiet holds the next request back no longer than this
// past the abandoned answer's time.
constexpr int kMaxBalbuceoMs = 1000;

bool cancelado(const Cancelacion *c) { return c && c->load(); }
} // namespace

QString PuertoSerieQt::dispositivo(int numeroPuerto) const
{
    if (const auto it = mapa_.constFind(numeroPuerto); it != mapa_.cend() && !it->trimmed().isEmpty())
        return it->trimmed();
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(numeroPuerto);
#else
    return QStringLiteral("/dev/ttyS%1").arg(numeroPuerto - 1);
#endif
}

bool PuertoSerieQt::fallo(const QString &descripcion)
{
    error_ = descripcion;
    sano_ = false;
    return false;
}

bool PuertoSerieQt::falloDelPuerto()
{
    return fallo(puerto_.errorString());
}

bool PuertoSerieQt::comprobarAbierto()
{
    return puerto_.isOpen() || fallo(QStringLiteral("el puerto serie no está abierto"));
}

void PuertoSerieQt::cerrar()
{
    if (puerto_.isOpen())
        puerto_.close();
}

bool PuertoSerieQt::abrir(int numeroPuerto)
{
    if (numeroPuerto < 1) {
        cerrar();
        return fallo(QStringLiteral("número de puerto serie no válido: %1").arg(numeroPuerto));
    }
    // Opening writes and syncs a lock file, which costs more than a whole
    // exchange: a healthy port already open on the same device is only set up again.
    const QString nombre = dispositivo(numeroPuerto);
    if (nombre != abierto_)
        abandonada_.reset(); // it was owed on another line
    if (!(puerto_.isOpen() && sano_ && nombre == abierto_)) {
        cerrar();
        puerto_.setPortName(nombre);
        puerto_.clearError();
        if (!puerto_.open(QIODevice::ReadWrite)) {
            if (!mapa_.contains(numeroPuerto))
                return fallo(QStringLiteral("no hay dispositivo serie asignado a COM%1 (config.ini, sección "
                                            "puertos, com%1=<dispositivo>); %2: %3")
                                 .arg(numeroPuerto)
                                 .arg(nombre, puerto_.errorString()));
            return fallo(nombre + QStringLiteral(": ") + puerto_.errorString());
        }
        abierto_ = nombre;
        sano_ = true;
    }
    const bool configurado = puerto_.setBaudRate(57600) && puerto_.setDataBits(QSerialPort::Data8)
        && puerto_.setParity(QSerialPort::NoParity) && puerto_.setStopBits(QSerialPort::OneStop)
        && puerto_.setFlowControl(QSerialPort::NoFlowControl);
    if (!configurado) {
        falloDelPuerto();
        puerto_.close();
        return false;
    }
    return true;
}

bool PuertoSerieQt::estaAbierto() const
{
    return puerto_.isOpen();
}

bool PuertoSerieQt::descartarEntrada()
{
    if (!comprobarAbierto())
        return false;
    puerto_.clearError();
    return puerto_.clear(QSerialPort::Input) || falloDelPuerto();
}

bool PuertoSerieQt::escribir(const QByteArray &bytes)
{
    if (!comprobarAbierto())
        return false;
    puerto_.clearError();
    return puerto_.write(bytes) == bytes.size() || falloDelPuerto();
}

bool PuertoSerieQt::esperarSalidaVacia(const Cancelacion *c)
{
    if (!comprobarAbierto())
        return false;
    const QDeadlineTimer limite(kLimiteEnvioMs);
    while (puerto_.bytesToWrite() > 0) {
        if (cancelado(c))
            return true;
        if (limite.hasExpired())
            return fallo(QStringLiteral("el puerto serie no termina de enviar"));
        puerto_.clearError();
        if (!puerto_.waitForBytesWritten(kRebanadaMs) && puerto_.error() != QSerialPort::TimeoutError
            && puerto_.error() != QSerialPort::NoError)
            return falloDelPuerto();
    }
    return true;
}

bool PuertoSerieQt::recogerPendientes()
{
    // A zero wait only reads what has already arrived; it never blocks.
    for (;;) {
        puerto_.clearError();
        if (puerto_.waitForReadyRead(0))
            continue;
        const auto e = puerto_.error();
        return e == QSerialPort::NoError || e == QSerialPort::TimeoutError || falloDelPuerto();
    }
}

int PuertoSerieQt::esperarEntrada(int cuantos, QDeadlineTimer limite, const Cancelacion *c)
{
    if (!comprobarAbierto() || !recogerPendientes())
        return -1;
    while (puerto_.bytesAvailable() < cuantos && !limite.hasExpired() && !cancelado(c)) {
        const int rebanada = int(std::clamp<qint64>(limite.remainingTime(), 1, kRebanadaMs));
        puerto_.clearError();
        if (!puerto_.waitForReadyRead(rebanada) && puerto_.error() != QSerialPort::TimeoutError
            && puerto_.error() != QSerialPort::NoError) {
            falloDelPuerto();
            return -1;
        }
    }
    return int(std::min<qint64>(puerto_.bytesAvailable(), 1 << 30));
}

bool PuertoSerieQt::leerTodo(QByteArray &salida)
{
    if (!comprobarAbierto() || !recogerPendientes())
        return false;
    salida = puerto_.readAll();
    return true;
}

void PuertoSerieQt::respuestaAbandonada(int bytes, QDeadlineTimer hasta)
{
    abandonada_ = Abandonada{bytes, hasta};
}

bool PuertoSerieQt::esperarLineaLibre(const Cancelacion *c)
{
    if (!abandonada_)
        return true;
    auto [faltan, hasta] = *std::exchange(abandonada_, std::nullopt);
    const QDeadlineTimer tope(std::max<qint64>(hasta.remainingTime(), 0) + kMaxBalbuceoMs, Qt::PreciseTimer);
    for (;;) {
        // Until the owed bytes are in or their time is up, then until the line is quiet.
        QDeadlineTimer espera(kCalmaMs, Qt::PreciseTimer);
        if (faltan > 0)
            espera = std::max(espera, hasta);
        const int llegados = esperarEntrada(1, std::min(espera, tope), c);
        if (llegados < 0)
            return false;
        if (llegados == 0 || cancelado(c))
            return true;
        QByteArray tardia;
        if (!leerTodo(tardia))
            return false;
        faltan -= int(tardia.size());
        if (tope.hasExpired())
            return true;
    }
}
