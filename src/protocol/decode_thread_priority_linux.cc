#include "protocol/decode_thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace stv {

// Ten nice levels weigh a tenth: a decoder keeps every core the others leave idle, and a
// woken writer preempts it at once. On Linux a nice value belongs to the thread.
void GiveWayToPromptThreads() {
  const auto thread = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, thread);
  if (errno != 0) return;
  (void)setpriority(PRIO_PROCESS, thread, std::min(nice + 10, 19));
}

}  // namespace stv
