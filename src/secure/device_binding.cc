#include "secure/device_binding.h"

#include "common/byte_order.h"
#include "diag/log.h"
#include "secure/crypto.h"

namespace stv::agent {
namespace {

constexpr char kNoBinding[] = "the client sent no device binding";
constexpr char kNoCertificate[] = "the client presented no certificate";
constexpr char kUnhashable[] = "could not hash the presented certificate";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";
constexpr char kNoPin[] = "no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin)";

// One length-prefixed field. Lengths outside 1..256 are refused before any of the field is read.
std::optional<std::vector<uint8_t>> ReadField(DeviceBindingSource& source) {
  uint8_t prefix[2];
  if (!source.ReadBindingBytes(prefix, sizeof prefix)) return std::nullopt;
  const size_t length = ReadU16Be(prefix);
  if (length == 0 || length > kMaxBindingFieldSize) return std::nullopt;
  std::vector<uint8_t> field(length);
  if (!source.ReadBindingBytes(field.data(), field.size())) return std::nullopt;
  return field;
}

}  // namespace

std::string ComputeDeviceId(std::span<const uint8_t> publicKey) {
  const auto digest = Sha256(publicKey);
  if (!digest) return {};
  // Sixteen 5-bit groups from the first 80 bits, most significant bit first.
  std::string id;
  id.reserve(kDeviceIdLength);
  uint32_t bits = 0;
  int bitCount = 0;
  for (size_t i = 0; id.size() < kDeviceIdLength; ++i) {
    bits = (bits << 8) | (*digest)[i];
    bitCount += 8;
    while (bitCount >= 5 && id.size() < kDeviceIdLength) {
      bitCount -= 5;
      id += kDeviceIdAlphabet[(bits >> bitCount) & 31];
    }
  }
  return id;
}

bool VerifyDeviceBinding(DeviceBindingSource& source, const std::string& expectedDeviceId, bool insecureNoPin,
                         std::string& peerDeviceId, std::string& error) {
  // The order is fixed: read everything, hash the certificate, verify, and only then
  // compare ids, so a mismatch always names a device that proved its key.
  const auto key = ReadField(source);
  const auto signature = key ? ReadField(source) : std::nullopt;
  if (!signature) {
    error = kNoBinding;
    return false;
  }
  const auto certificate = source.PeerCertificate();
  if (!certificate || certificate->empty()) {
    error = kNoCertificate;
    return false;
  }
  const auto digest = Sha256(*certificate);
  if (!digest) {
    error = kUnhashable;
    return false;
  }
  if (key->size() != kP256PublicKeySize || (*key)[0] != 0x04 || signature->size() != kP256SignatureSize ||
      !VerifyP256Signature(*key, *signature, *digest)) {
    error = kBadSignature;
    return false;
  }
  peerDeviceId = ComputeDeviceId(*key);
  if (!expectedDeviceId.empty()) {
    if (expectedDeviceId == peerDeviceId) return true;
    error = "device id mismatch: expected " + expectedDeviceId + ", the machine that answered is " + peerDeviceId;
    return false;
  }
  if (insecureNoPin) {
    Logger::Instance().Warn("[tls] NOT PINNED: connected to device %s without verifying it was the expected one",
                            peerDeviceId.c_str());
    return true;
  }
  error = kNoPin;
  return false;
}

}  // namespace stv::agent
