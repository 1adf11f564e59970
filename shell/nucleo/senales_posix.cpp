// The only file with POSIX calls: a signal handler may do almost nothing, so
// it writes one byte into a pipe whose reading end the event loop watches.

#include "shell/nucleo/senales.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int tuberia[2] = {-1, -1};

extern "C" void alRecibir(int)
{
    const int guardado = errno;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(tuberia[1], &byte, 1);
    errno = guardado;
}

} // namespace

bool AlPedirTerminar(QObject *contexto, std::function<void()> accion)
{
    if (tuberia[0] >= 0 || ::pipe(tuberia) != 0)
        return false;
    for (int fd : tuberia) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    auto *aviso = new QSocketNotifier(tuberia[0], QSocketNotifier::Read, contexto);
    QObject::connect(aviso, &QSocketNotifier::activated, contexto, [accion = std::move(accion)] {
        char bytes[16];
        while (::read(tuberia[0], bytes, sizeof bytes) > 0) {
        }
        accion();
    });
    struct sigaction sa = {};
    sa.sa_handler = alRecibir;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &sa, nullptr) == 0 && ::sigaction(SIGINT, &sa, nullptr) == 0;
}
