// The platform's SHA-256 and P-256 verification (OpenSSL or CNG) on fixed vectors, made
// once with the openssl command line, and the device id built on them.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "secure/crypto.h"
#include "secure/device_binding.h"

namespace stv::agent {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(std::string_view hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

const Bytes kKey = FromHex(
    "04fe387d1b2e2038e284a89bcc9a683e7d2769eb529197c86afdf9ab1a0ecd6079d4c66ad8f14fcd719ac6868ce973ada3d1cce5130e39bd"
    "657b902284ea632ca1");
// r then s over SHA-256("abc").
const Bytes kSignature = FromHex(
    "cb2440d51e3bcee32fb4457726f4d2d46b9556903541de771e8282f92847dafec16d7a274237435bc70fad633c558db32da7a3f299e5eb"
    "360cc72ccc916f1bb1");
// The curve's generator: a valid point, but not the signer's.
const Bytes kOtherKey = FromHex(
    "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315e"
    "cecbb6406837bf51f5");

TEST(DeviceIdTest, IsTheTruncatedLowerCaseBase32OfTheKeyDigest) {
  // Expected values from an independent base32 implementation.
  Bytes counting(65);
  for (size_t i = 1; i < counting.size(); ++i) counting[i] = static_cast<uint8_t>(i);
  counting[0] = 0x04;
  EXPECT_EQ(ComputeDeviceId(counting), "b3j2nk4vp73plguw");
  EXPECT_EQ(ComputeDeviceId(Bytes(65, 0)), "tdhefxxpkhkae2ov");
}

TEST(CryptoTest, VerifiesOnlyTheExactDigestKeyAndSignature) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const Sha256Digest digest = *Sha256(abc);
  EXPECT_EQ(Bytes(digest.begin(), digest.end()),
            FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_TRUE(VerifyP256Signature(kKey, kSignature, digest));

  const auto flipped = [](auto bytes, size_t at, uint8_t mask) {
    bytes[at] ^= mask;
    return bytes;
  };
  Bytes compressed(kKey.begin(), kKey.begin() + 33);
  compressed[0] = 0x02 | (kKey[64] & 1);
  Bytes zeroS = kSignature;
  std::fill(zeroS.begin() + 32, zeroS.end(), 0);
  EXPECT_FALSE(VerifyP256Signature(kKey, kSignature, flipped(digest, 31, 1)));
  EXPECT_FALSE(VerifyP256Signature(kOtherKey, kSignature, digest));
  EXPECT_FALSE(VerifyP256Signature(kKey, flipped(kSignature, 40, 0x80), digest));
  EXPECT_FALSE(VerifyP256Signature(kKey, zeroS, digest));
  EXPECT_FALSE(VerifyP256Signature(flipped(kKey, 64, 1), kSignature, digest));    // off the curve
  EXPECT_FALSE(VerifyP256Signature(flipped(kKey, 0, 0x01), kSignature, digest));  // not uncompressed
  EXPECT_FALSE(VerifyP256Signature(compressed, kSignature, digest));
  EXPECT_FALSE(VerifyP256Signature(kKey, Bytes(kSignature.begin(), kSignature.end() - 1), digest));
}

}  // namespace
}  // namespace stv::agent
