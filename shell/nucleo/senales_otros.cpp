// Platforms without POSIX signals: the C runtime's handler only raises a
// flag, which a short timer on the event loop looks at.

#include "shell/nucleo/senales.h"

#include <QTimer>

#include <atomic>
#include <csignal>

namespace {

std::atomic<bool> pedido{false};

extern "C" void alRecibir(int senal)
{
    pedido = true;
    std::signal(senal, alRecibir);
}

} // namespace

bool AlPedirTerminar(QObject *contexto, std::function<void()> accion)
{
    auto *vigia = new QTimer(contexto);
    QObject::connect(vigia, &QTimer::timeout, contexto, [accion = std::move(accion)] {
        if (pedido.exchange(false))
            accion();
    });
    vigia->start(100);
    return std::signal(SIGTERM, alRecibir) != SIG_ERR && std::signal(SIGINT, alRecibir) != SIG_ERR;
}
