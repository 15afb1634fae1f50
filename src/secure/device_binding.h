// The device binding: inside a fresh TLS tunnel the peer proves possession of its long-term
// P-256 device key by signing the certificate it just presented, and the device id derived
// from that key is compared with the one the user expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace stv::agent {

// A device id is this many characters of kDeviceIdAlphabet.
inline constexpr size_t kDeviceIdLength = 16;
inline constexpr char kDeviceIdAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
// Key and signature lengths outside 1..kMaxBindingFieldSize end the read at once.
inline constexpr size_t kMaxBindingFieldSize = 256;

// What the check needs from the TLS session it runs inside.
class DeviceBindingSource {
 public:
  virtual ~DeviceBindingSource() = default;
  // Exactly `size` decrypted bytes from the tunnel, or false.
  virtual bool ReadBindingBytes(uint8_t* buffer, size_t size) = 0;
  // The DER encoding of the end-entity certificate presented in this handshake.
  virtual std::optional<std::vector<uint8_t>> PeerCertificate() = 0;
};

// The first 16 characters of the lower-case, unpadded base32 text of SHA-256(publicKey).
// Empty only when the hash cannot be computed.
std::string ComputeDeviceId(std::span<const uint8_t> publicKey);

// Reads the binding, checks its signature against the presented certificate and pins the id.
// `peerDeviceId` is set once the signature has been verified (also when the pin then
// mismatches); on failure `error` holds the reason for the user.
bool VerifyDeviceBinding(DeviceBindingSource& source, const std::string& expectedDeviceId, bool insecureNoPin,
                         std::string& peerDeviceId, std::string& error);

}  // namespace stv::agent
