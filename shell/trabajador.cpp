#include "trabajador.h"

#include "mod_ini.h"
#include "puerto_serie_qt.h"
#include "socket_tcp_qt.h"

#include <chrono>
#include <cstdlib>

Trabajador::Trabajador(const QHash<int, QString> &mapaPuertos, QObject *parent)
    : QObject(parent), mapa_(mapaPuertos)
{
    hilo_ = QThread::create([this] { bucle(); });
    hilo_->setObjectName(QStringLiteral("comunicaciones"));
    hilo_->start();
}

Trabajador::~Trabajador()
{
    // A thread blocked in a TCP connect cannot be joined in time; nothing is
    // lost by ending here, every punch is committed before the next one is read.
    if (!detener(400))
        std::_Exit(0);
    delete hilo_;
}

QHash<int, QString> Trabajador::LeerMapaPuertos()
{
    QHash<int, QString> mapa;
    for (int n = 1; n <= 16; ++n) {
        const QString dispositivo =
            MOD_ini::LeerConfig(QStringLiteral("puertos"), QStringLiteral("com%1").arg(n)).trimmed();
        if (!dispositivo.isEmpty())
            mapa.insert(n, dispositivo);
    }
    return mapa;
}

void Trabajador::encolar(qint16 timeoutComunicaciones, Trabajo trabajo, std::function<void()> alTerminar)
{
    {
        std::lock_guard bloqueo(mutex_);
        if (cancelar_)
            return;
        cola_.push_back({timeoutComunicaciones, std::move(trabajo), std::move(alTerminar)});
    }
    aviso_.notify_all();
}

void Trabajador::registrar(const QString &texto, bool recortarLog)
{
    emit linea(texto, recortarLog);
}

void Trabajador::informar(const QString &texto, int valor, int maximo)
{
    emit progreso(texto, valor, maximo);
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
        cola_.clear();
    }
    aviso_.notify_all();
    return hilo_->wait(QDeadlineTimer(ms));
}

void Trabajador::bucle()
{
    // The transports belong to this thread: created, used and destroyed here.
    PuertoSerieQt puerto;
    puerto.setMapaPuertos(mapa_);
    SocketTcpQt socket;

    for (;;) {
        Pendiente siguiente;
        {
            std::unique_lock bloqueo(mutex_);
            aviso_.wait(bloqueo, [this] { return cancelar_.load() || !cola_.empty(); });
            if (cancelar_)
                break;
            siguiente = std::move(cola_.front());
            cola_.pop_front();
        }
        MOD_comunicaciones_kora::Contexto ctx;
        ctx.MSComm1 = &puerto;
        ctx.Winsock1 = &socket;
        ctx.TimeoutComunicaciones = siguiente.timeout;
        ctx.cancelar = &cancelar_;
        siguiente.trabajo(ctx);
        if (cancelar_)
            break;
        // Posted after the job's lines, so it reaches the window after them.
        if (siguiente.alTerminar)
            QMetaObject::invokeMethod(this, std::move(siguiente.alTerminar), Qt::QueuedConnection);
    }
    puerto.cerrar();
    socket.cerrar();
}
