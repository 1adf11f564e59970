#include "shell/nucleo/trabajador.h"

#include "link/puerto_serie_qt.h"
#include "link/socket_tcp_qt.h"

#include <QDeadlineTimer>
#include <QScopeGuard>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

Trabajador::Trabajador(const QHash<int, QString> &mapaPuertos, int simultaneos, QObject *parent)
    : QObject(parent), mapa_(mapaPuertos), simultaneos_(std::max(1, simultaneos))
{
}

Trabajador::~Trabajador()
{
    detenerOSalir(400);
    qDeleteAll(hilos_);
}

QString Trabajador::Carril(const TerminalRecord &t)
{
    switch (t.Tipo) {
    case 0:
    case 1:
        return QStringLiteral("COM%1").arg(t.Com);
    case 2:
        return QStringLiteral("IP ") + t.IP.trimmed().toLower();
    default: // nothing is ever sent to it
        return QStringLiteral("#%1").arg(t.ID);
    }
}

void Trabajador::encolar(const QString &carril, qint16 timeoutComunicaciones, Trabajo trabajo,
                         std::function<void()> alTerminar)
{
    std::lock_guard bloqueo(mutex_);
    if (cancelar_)
        return;
    const bool nuevo = !carriles_.contains(carril);
    carriles_[carril].push_back({timeoutComunicaciones, std::move(trabajo), std::move(alTerminar)});
    if (!nuevo)
        return; // its thread, or the one it waits for, takes it
    listos_.push_back(carril);
    if (hilosLibres_ > 0)
        hayTrabajo_.notify_one();
    else if (hilosVivos_ < simultaneos_) {
        ++hilosVivos_;
        auto *hilo = QThread::create([this] { bucle(); });
        hilo->setObjectName(QStringLiteral("comunicaciones"));
        hilos_.push_back(hilo);
        hilo->start();
    }
}

void Trabajador::registrar(const LineasRegistro &nuevas, bool recortarLog)
{
    // One queued call: another lane's lines cannot come in between.
    emit lineas(nuevas, recortarLog);
}

void Trabajador::informar(const QString &texto, int valor, int maximo)
{
    emit progreso(texto, valor, maximo);
}

void Trabajador::informarEstado(const QString &clave, const MOD_ado::EstadoTerminal &estado)
{
    emit estadoTerminal(clave, estado);
}

bool Trabajador::pausar(int ms)
{
    std::unique_lock bloqueo(mutex_);
    return !aviso_.wait_for(bloqueo, std::chrono::milliseconds(ms), [this] { return cancelar_.load(); });
}

bool Trabajador::detener(int ms)
{
    {
        std::lock_guard bloqueo(mutex_);
        cancelar_ = true;
        carriles_.clear();
        listos_.clear();
    }
    aviso_.notify_all();
    hayTrabajo_.notify_all();
    const QDeadlineTimer limite(ms);
    for (QThread *h : hilos_)
        if (!h->wait(limite))
            return false;
    return true;
}

void Trabajador::detenerOSalir(int ms)
{
    if (!detener(ms)) {
        std::fflush(stdout);
        std::_Exit(kSalidaForzada);
    }
}

namespace {
thread_local std::unique_ptr<MOD_ado::AlmacenMarcajes> *almacenDelHilo = nullptr;
} // namespace

std::unique_ptr<MOD_ado::AlmacenMarcajes> *Trabajador::AlmacenDelHilo() { return almacenDelHilo; }

void Trabajador::bucle()
{
    std::unique_ptr<MOD_ado::AlmacenMarcajes> almacen;
    almacenDelHilo = &almacen;
    const auto soltar = qScopeGuard([] { almacenDelHilo = nullptr; });
    // A thread waits for the next run instead of ending: what it keeps for
    // itself (a database connection, with its login and prepared statements)
    // serves every run.
    for (;;) {
        QString carril;
        {
            std::unique_lock bloqueo(mutex_);
            ++hilosLibres_;
            hayTrabajo_.wait(bloqueo, [this] { return cancelar_ || !listos_.empty(); });
            --hilosLibres_;
            if (cancelar_) {
                --hilosVivos_;
                return;
            }
            carril = std::move(listos_.front());
            listos_.pop_front();
        }
        servir(carril);
    }
}

void Trabajador::servir(const QString &carril)
{
    // The lane's transports belong to this thread while it serves the lane:
    // created, used and destroyed here.
    PuertoSerieQt puerto;
    puerto.setMapaPuertos(mapa_);
    SocketTcpQt socket;
    bool lineaLibre = true;

    for (;;) {
        std::optional<Pendiente> siguiente;
        {
            std::lock_guard bloqueo(mutex_);
            if (cancelar_)
                break;
            auto &cola = carriles_[carril];
            if (!cola.empty()) {
                siguiente = std::move(cola.front());
                cola.pop_front();
            } else if (lineaLibre) {
                carriles_.remove(carril);
                break;
            }
        }
        if (!siguiente) {
            // An answer given up on may still come: the next thread to open
            // this port must not take it for its own.
            puerto.esperarLineaLibre(&cancelar_);
            lineaLibre = true;
            continue;
        }
        lineaLibre = false;
        MOD_comunicaciones_kora::Contexto ctx;
        ctx.MSComm1 = &puerto;
        ctx.Winsock1 = &socket;
        ctx.TimeoutComunicaciones = siguiente->timeout;
        ctx.cancelar = &cancelar_;
        siguiente->trabajo(ctx);
        if (cancelar_)
            break;
        // Posted after the job's lines, so it reaches the window after them.
        if (siguiente->alTerminar)
            QMetaObject::invokeMethod(this, std::move(siguiente->alTerminar), Qt::QueuedConnection);
    }
    puerto.cerrar();
    socket.cerrar();
}
