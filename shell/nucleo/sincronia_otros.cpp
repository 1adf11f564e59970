#include "shell/nucleo/sincronia.h"

namespace Sincronia {

// No portable way to ask (Windows would need its time service's state):
// [reloj] solo_sincronizado=0 lets such a site correct all the same.
std::optional<bool> RelojDelEquipo()
{
    return std::nullopt;
}

} // namespace Sincronia
