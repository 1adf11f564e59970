// POSIX pseudo-terminals (Linux, BSD, macOS).
#include "tools/sim/pty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace korasim::pty {

static QString textoErrno(const char *que)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(que), QString::fromLocal8Bit(std::strerror(errno)));
}

static void modoCrudo(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

std::optional<Par> abrir(QString *error)
{
    Par p;
    p.maestro = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.maestro < 0) {
        if (error) *error = textoErrno("posix_openpt");
        return std::nullopt;
    }
    const char *nombre = nullptr;
    if (grantpt(p.maestro) != 0 || unlockpt(p.maestro) != 0 || !(nombre = ptsname(p.maestro))) {
        if (error) *error = textoErrno("grantpt/unlockpt/ptsname");
        ::close(p.maestro);
        return std::nullopt;
    }
    p.ruta = QString::fromLocal8Bit(nombre);
    p.esclavo = ::open(nombre, O_RDWR | O_NOCTTY);
    if (p.esclavo < 0) {
        if (error) *error = textoErrno("open slave");
        ::close(p.maestro);
        return std::nullopt;
    }
    // Raw on both sides: no line editing, echo or CR/LF translation of binary frames.
    modoCrudo(p.esclavo);
    modoCrudo(p.maestro);
    fcntl(p.maestro, F_SETFL, fcntl(p.maestro, F_GETFL) | O_NONBLOCK);
    return p;
}

qint64 leer(int fd, char *destino, qint64 maximo)
{
    const ssize_t n = ::read(fd, destino, size_t(maximo));
    if (n >= 0)
        return n;
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
}

qint64 escribir(int fd, const char *datos, qint64 cuantos)
{
    qint64 hecho = 0;
    while (hecho < cuantos) {
        const ssize_t n = ::write(fd, datos + hecho, size_t(cuantos - hecho));
        if (n > 0) {
            hecho += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // Nobody reads the slave and its queue is full: the rest is lost, as on a line.
            break;
        }
    }
    return hecho;
}

void cerrar(Par &par)
{
    if (par.maestro >= 0)
        ::close(par.maestro);
    if (par.esclavo >= 0)
        ::close(par.esclavo);
    par.maestro = par.esclavo = -1;
}

}  // namespace korasim::pty
