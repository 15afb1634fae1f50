#include "transport/prompt_wakeup.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace stv::agent {
namespace {

// The first version of the kernel's sched_attr; glibc has no wrapper for sched_setattr.
struct SchedAttr {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;  // for the normal policy: the slice the thread asks for (Linux 6.12+)
  uint64_t deadline;
  uint64_t period;
};

// The shortest slice the kernel accepts. The writer runs for microseconds at a time, so a
// short slice costs it nothing and makes its deadline the earliest when it wakes.
constexpr uint64_t kSliceNanoseconds = 100'000;

}  // namespace

void RequestPromptWakeups() {
  SchedAttr attr{};
  attr.size = sizeof attr;
  attr.policy = 0;  // SCHED_OTHER, the policy it already has; nice stays 0
  attr.runtime = kSliceNanoseconds;
  // Older kernels ignore the slice or refuse the call; either way the thread runs as before.
  (void)syscall(SYS_sched_setattr, 0, &attr, 0);
}

}  // namespace stv::agent
