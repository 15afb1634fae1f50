// The agent's long-term P-256 device key and the device id derived from the key.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "secure/crypto.h"

namespace stv::sim {

using agent::Sha256Digest;

class DeviceKey {
 public:
  // Reads the PEM private key at `path`, or creates a fresh one there (mode 0600, parent
  // folders included) when the file does not exist. Null with `error` set otherwise.
  static std::unique_ptr<DeviceKey> LoadOrCreate(const std::string& path, std::string& error);
  // A key that lives only in memory.
  static std::unique_ptr<DeviceKey> Generate();
  ~DeviceKey();
  DeviceKey(const DeviceKey&) = delete;
  DeviceKey& operator=(const DeviceKey&) = delete;

  // 0x04, X, Y: 65 bytes.
  const std::vector<uint8_t>& publicPoint() const { return publicPoint_; }
  // ECDSA over a 32-byte digest, as raw r then s (32 bytes each, big-endian).
  std::optional<std::vector<uint8_t>> SignRaw(const Sha256Digest& digest) const;
  // The same signature in its DER form (70 to 72 bytes).
  std::optional<std::vector<uint8_t>> SignDer(const Sha256Digest& digest) const;

 private:
  explicit DeviceKey(void* key);
  void* key_;  // EVP_PKEY
  std::vector<uint8_t> publicPoint_;
};

// A DER ECDSA signature as raw r then s; absent when it does not parse.
std::optional<std::vector<uint8_t>> RawSignatureFromDer(std::span<const uint8_t> der);

// The device id a viewer pins: the first 16 characters of the lower-case, unpadded base32
// of SHA-256 of the point.
std::string DeviceIdOf(std::span<const uint8_t> publicPoint);

// Where the key lives when no --key is given: $XDG_CONFIG_HOME or ~/.config, then
// stv-agent-sim/device-key.pem.
std::string DefaultKeyPath();

}  // namespace stv::sim
