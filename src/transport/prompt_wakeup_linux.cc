#include "transport/prompt_wakeup.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace stv::agent {
namespace {

// The first version of the kernel's sched_attr; glibc has no wrappers for sched_getattr and
// sched_setattr.
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
  if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return;
  // Only the slice changes: the policy and nice value stay what the user gave the process.
  constexpr uint32_t kNormalPolicy = 0;
  constexpr uint32_t kBatchPolicy = 3;
  if (attr.policy != kNormalPolicy && attr.policy != kBatchPolicy) return;
  attr.size = sizeof attr;
  attr.flags = 0;
  attr.runtime = kSliceNanoseconds;
  // Kernels before 6.12 ignore the slice; either way the thread runs as before.
  (void)syscall(SYS_sched_setattr, 0, &attr, 0);
}

}  // namespace stv::agent
