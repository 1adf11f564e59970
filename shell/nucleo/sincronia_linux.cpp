#include "shell/nucleo/sincronia.h"

#include <sys/timex.h>

namespace Sincronia {

std::optional<bool> RelojDelEquipo()
{
    timex estado{}; // modes 0: only reads, allowed to any user
    const int r = adjtimex(&estado);
    if (r == -1)
        return std::nullopt;
    return r != TIME_ERROR && !(estado.status & STA_UNSYNC);
}

} // namespace Sincronia
