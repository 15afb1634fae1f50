#include "device_binding_message.h"

#include "common/byte_order.h"

namespace stv::sim {

std::optional<std::vector<uint8_t>> BuildDeviceBinding(const DeviceKey& key,
                                                       std::span<const uint8_t> presentedCertificate,
                                                       std::span<const uint8_t> foreignCertificate, Fault fault) {
  const auto digest = agent::Sha256(fault == Fault::kForeignBinding ? foreignCertificate : presentedCertificate);
  if (!digest) return std::nullopt;
  const std::optional<std::vector<uint8_t>> signature =
      fault == Fault::kDerSignature ? key.SignDer(*digest) : key.SignRaw(*digest);
  if (!signature) return std::nullopt;

  std::vector<uint8_t> point = key.publicPoint();
  if (fault == Fault::kCompressedKey) point[0] = 0x02;
  if (fault == Fault::kKeyLength) point.resize(300, 0);
  std::vector<uint8_t> sent = *signature;
  if (fault == Fault::kBadSignature) sent[20] ^= 0x01;

  std::vector<uint8_t> out;
  AppendU16Be(out, static_cast<uint32_t>(point.size()));
  out.insert(out.end(), point.begin(), point.end());
  AppendU16Be(out, static_cast<uint32_t>(sent.size()));
  out.insert(out.end(), sent.begin(), sent.end());
  return out;
}

}  // namespace stv::sim
