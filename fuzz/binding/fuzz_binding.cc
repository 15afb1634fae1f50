// Feeds arbitrary bytes to the device binding reader as if they came out of the tunnel.
// The first byte picks the situation: bit 0 pins the id of the seed corpus's device key,
// bit 1 allows an unpinned device, bit 2 withholds the certificate.
#include <cstdio>
#include <cstring>
#include <string>

#include "secure/device_binding.h"

namespace {

// Stands in for the peer's DER certificate: the verifier only hashes it. The seed corpus
// holds bindings signed over exactly these bytes.
constexpr char kCertificate[] = "fixed certificate bytes standing in for a DER certificate";
constexpr char kSeedDeviceId[] = "2xzrpzgskmmjv7t2";

class FuzzSource : public stv::agent::DeviceBindingSource {
 public:
  FuzzSource(const uint8_t* data, size_t size, bool withCertificate)
      : data_(data), size_(size), withCertificate_(withCertificate) {}

  bool ReadBindingBytes(uint8_t* buffer, size_t size) override {
    if (size > size_ - offset_) return false;
    std::memcpy(buffer, data_ + offset_, size);
    offset_ += size;
    return true;
  }
  std::optional<std::vector<uint8_t>> PeerCertificate() override {
    if (!withCertificate_) return std::nullopt;
    return std::vector<uint8_t>(kCertificate, kCertificate + sizeof kCertificate - 1);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  bool withCertificate_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The unpinned warning goes to standard output; thousands of them would drown the stats.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  FuzzSource source(data + 1, size - 1, (mode & 4) == 0);
  const std::string pin = (mode & 1) ? kSeedDeviceId : "";
  std::string deviceId;
  std::string error;
  const bool accepted = stv::agent::VerifyDeviceBinding(source, pin, (mode & 2) != 0, deviceId, error);
  // Acceptance needs a verified key, hence a full id, and never comes with an error.
  if (accepted && (deviceId.size() != stv::agent::kDeviceIdLength || !error.empty())) __builtin_trap();
  if (!accepted && error.empty()) __builtin_trap();
  if (accepted && !pin.empty() && deviceId != pin) __builtin_trap();
  return 0;
}
