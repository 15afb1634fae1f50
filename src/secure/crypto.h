// The two cryptographic primitives the device binding needs. The header names no
// library, so another platform can supply its own implementation of the same calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace stv::agent {

inline constexpr size_t kSha256Size = 32;
// An uncompressed P-256 point: 0x04, then X and Y (32 bytes each, big-endian).
inline constexpr size_t kP256PublicKeySize = 65;
// A raw P-256 ECDSA signature: r then s, 32 bytes each, big-endian.
inline constexpr size_t kP256SignatureSize = 64;

using Sha256Digest = std::array<uint8_t, kSha256Size>;

// One-shot SHA-256; nullopt only if the hash cannot be computed at all.
std::optional<Sha256Digest> Sha256(std::span<const uint8_t> data);

// Checks a raw r-then-s signature over `digest` (used as is, not hashed again) against an
// uncompressed point. False for any malformed key or signature, and for a wrong one.
bool VerifyP256Signature(std::span<const uint8_t> publicKey, std::span<const uint8_t> signature,
                         const Sha256Digest& digest);

}  // namespace stv::agent
