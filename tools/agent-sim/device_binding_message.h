// The device binding the agent sends first inside the TLS tunnel: its public key and a
// signature over the SHA-256 of the certificate it presented, each behind a 16-bit length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device_key.h"
#include "faults.h"

namespace stv::sim {

// The binding as sent: K = 65, the point, S = 64, raw r||s over SHA-256 of `presentedCertificate`.
// The binding faults change it as their names say; kForeignBinding signs `foreignCertificate`
// instead. Absent when signing fails.
std::optional<std::vector<uint8_t>> BuildDeviceBinding(const DeviceKey& key,
                                                       std::span<const uint8_t> presentedCertificate,
                                                       std::span<const uint8_t> foreignCertificate, Fault fault);

}  // namespace stv::sim
