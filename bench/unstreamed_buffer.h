// Output buffers for the bare TurboJPEG references. TurboJPEG writes output rows that start
// on a 32-byte boundary with non-temporal stores, which go around the cache and cost about a
// fifth more on this machine; where a vector happens to land would otherwise decide the
// reference's speed. The references always get the library's faster, cached stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stv {

class UnstreamedBuffer {
 public:
  explicit UnstreamedBuffer(size_t bytes) : storage_(bytes + 32) {}

  // `bytes` writable bytes, 16 past a 32-byte boundary.
  uint8_t* data() {
    const uintptr_t address = reinterpret_cast<uintptr_t>(storage_.data());
    return storage_.data() + (48 - address % 32) % 32;
  }

 private:
  std::vector<uint8_t> storage_;
};

}  // namespace stv
