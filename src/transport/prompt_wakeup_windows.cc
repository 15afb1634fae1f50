#include "transport/prompt_wakeup.h"

namespace stv::agent {

// Windows already raises the priority of a thread whose wait completes, so a woken writer
// runs ahead of a busy reader without asking.
void RequestPromptWakeups() {}

}  // namespace stv::agent
