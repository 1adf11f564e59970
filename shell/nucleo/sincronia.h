#pragma once
// Whether the computer's own clock is kept right by a time service: the
// program sets no terminal's clock from one that nobody keeps right.

#include <optional>

namespace Sincronia {

// true when the system says its clock is synchronised, false when it says
// it is not, nullopt when it cannot tell. Linux: the kernel's clock
// discipline (adjtimex), which an NTP client (chrony, ntpd,
// systemd-timesyncd) marks synchronised. Elsewhere the program cannot ask
// and gives nullopt, which counts as not synchronised.
std::optional<bool> RelojDelEquipo();

} // namespace Sincronia
