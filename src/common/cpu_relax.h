// A hint inside a spin loop that the core waits: it saves power and leaves the pipeline to a
// sibling thread.
#pragma once

namespace stv {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace stv
