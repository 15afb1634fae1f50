#include "secure/device_binding.h"

#include <gtest/gtest.h>

#include "device_binding_message.h"
#include "secure/crypto.h"
#include "support/wire.h"
#include "tls_server.h"

namespace stv::agent {
namespace {

using testing::Bytes;

constexpr char kNoBinding[] = "the client sent no device binding";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";

using testing::RecordedBinding;

std::string VerifyError(RecordedBinding& source, const std::string& pin, bool insecureNoPin = false) {
  std::string deviceId;
  std::string error;
  return VerifyDeviceBinding(source, pin, insecureNoPin, deviceId, error) ? "ok " + deviceId : error;
}

TEST(DeviceIdTest, IsTheTruncatedLowerCaseBase32OfTheKeyDigest) {
  // Expected values from an independent base32 implementation.
  Bytes counting(65);
  for (size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<uint8_t>(i);
  counting[0] = 0x04;
  EXPECT_EQ(ComputeDeviceId(counting), "b3j2nk4vp73plguw");
  Bytes zeros(65, 0);
  zeros[0] = 0x04;
  EXPECT_EQ(ComputeDeviceId(zeros), "lhxruwqa6nnru4rn");
}

TEST(CryptoTest, VerifiesOnlyTheExactDigestKeyAndSignature) {
  const auto device = sim::DeviceKey::Generate();
  const uint8_t abc[] = {'a', 'b', 'c'};
  const Sha256Digest digest = *Sha256(abc);
  EXPECT_EQ(digest, (Sha256Digest{0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                  0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                  0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad}))
      << "the published SHA-256 of \"abc\"";
  const Bytes key = device->publicPoint();
  const Bytes signature = *device->SignRaw(digest);
  EXPECT_TRUE(VerifyP256Signature(key, signature, digest));

  Sha256Digest otherDigest = digest;
  otherDigest[31] ^= 1;
  Bytes flipped = signature;
  flipped[40] ^= 0x80;
  Bytes offCurve = key;
  offCurve[64] ^= 1;
  Bytes compressed(key.begin(), key.begin() + 33);
  compressed[0] = 0x02 | (key[64] & 1);
  EXPECT_FALSE(VerifyP256Signature(key, signature, otherDigest));
  EXPECT_FALSE(VerifyP256Signature(sim::DeviceKey::Generate()->publicPoint(), signature, digest));
  EXPECT_FALSE(VerifyP256Signature(key, flipped, digest));
  EXPECT_FALSE(VerifyP256Signature(key, Bytes(64, 0), digest));     // r = s = 0
  EXPECT_FALSE(VerifyP256Signature(key, Bytes(64, 0xff), digest));  // r, s above the group order
  EXPECT_FALSE(VerifyP256Signature(offCurve, signature, digest));
  EXPECT_FALSE(VerifyP256Signature(compressed, signature, digest));
  EXPECT_FALSE(VerifyP256Signature(key, *device->SignDer(digest), digest));
}

class DeviceBindingTest : public ::testing::Test {
 protected:
  Bytes Binding(sim::Fault fault = sim::Fault::kNone) const {
    return *sim::BuildDeviceBinding(*device_, certificate_, {}, fault);
  }

  const std::unique_ptr<sim::DeviceKey> device_ = sim::DeviceKey::Generate();
  const Bytes certificate_ = sim::MakeUnrelatedCertificateDer();
  const Bytes binding_ = Binding();
  const std::string id_ = ComputeDeviceId(device_->publicPoint());
};

TEST_F(DeviceBindingTest, ReadsExactlyTheBindingAndPinsOrWarns) {
  RecordedBinding pinned(binding_, certificate_);
  EXPECT_EQ(VerifyError(pinned, id_), "ok " + id_);
  EXPECT_EQ(pinned.consumed, 133u);  // 2 + 65 + 2 + 64, nothing past it

  RecordedBinding unpinned(binding_, certificate_);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(VerifyError(unpinned, "", true), "ok " + id_);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find(" WRN [tls] NOT PINNED: connected to device " + id_ +
                                                          " without verifying it was the expected one\n"),
            std::string::npos);

  // A given pin governs even with the switch; a trailing space is a different id.
  RecordedBinding spaced(binding_, certificate_);
  EXPECT_EQ(VerifyError(spaced, id_ + " ", true),
            "device id mismatch: expected " + id_ + " , the machine that answered is " + id_);
}

TEST_F(DeviceBindingTest, BadLengthsStopTheReadBeforeTheirField) {
  struct Case {
    Bytes stream;
    size_t consumed;  // where the read gave up
  };
  Bytes longKey = {0x01, 0x2c};  // K = 300, followed by enough bytes to read if believed
  longKey.resize(400, 0x04);
  Bytes noSignature = testing::EncodeBinding(device_->publicPoint(), Bytes());
  noSignature.resize(200, 0);
  const Case cases[] = {
      {longKey, 2},
      {{0x00, 0x00, 0x04}, 2},
      {noSignature, 69},
      {testing::EncodeBinding(device_->publicPoint(), Bytes(257, 1)), 69},
  };
  for (const Case& c : cases) {
    RecordedBinding source(c.stream, certificate_);
    EXPECT_EQ(VerifyError(source, id_), kNoBinding);
    EXPECT_EQ(source.consumed, c.consumed);
    EXPECT_EQ(source.certificateQueries, 0);
  }
  for (size_t cut = 0; cut < binding_.size(); ++cut) {
    RecordedBinding truncated(Bytes(binding_.begin(), binding_.begin() + static_cast<long>(cut)), certificate_);
    EXPECT_EQ(VerifyError(truncated, id_, true), kNoBinding) << "cut at " << cut;
  }
}

// A missing pin is news only for a valid binding, and the key is judged only with a certificate.
TEST_F(DeviceBindingTest, VerdictsComeInOrder) {
  RecordedBinding valid(binding_, certificate_);
  EXPECT_EQ(VerifyError(valid, ""), "no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin)");
  Bytes forged = binding_;
  forged.back() ^= 1;
  RecordedBinding invalid(forged, certificate_);
  EXPECT_EQ(VerifyError(invalid, ""), kBadSignature);
  const Bytes badKey = Binding(sim::Fault::kCompressedKey);
  RecordedBinding noneAndBadKey(badKey, std::nullopt);
  EXPECT_EQ(VerifyError(noneAndBadKey, id_), "the client presented no certificate");
  RecordedBinding badKeyOnly(badKey, certificate_);
  EXPECT_EQ(VerifyError(badKeyOnly, id_), kBadSignature);
}

}  // namespace
}  // namespace stv::agent
