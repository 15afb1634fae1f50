#include "secure/device_binding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "secure/crypto.h"
#include "tls/command_line_tools.h"
#include "tls/openssl_test_peer.h"

namespace stv::agent {
namespace {

using testing::Bytes;

constexpr char kNoBinding[] = "the client sent no device binding";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";
constexpr char kNoPin[] = "no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin)";

// Serves a fixed byte stream as the tunnel and a fixed certificate.
class FakeSource : public DeviceBindingSource {
 public:
  FakeSource(Bytes stream, std::optional<Bytes> certificate)
      : stream_(std::move(stream)), certificate_(std::move(certificate)) {}

  bool ReadBindingBytes(uint8_t* buffer, size_t size) override {
    if (size > stream_.size() - consumed_) {
      consumed_ = stream_.size();
      return false;
    }
    std::memcpy(buffer, stream_.data() + consumed_, size);
    consumed_ += size;
    return true;
  }
  std::optional<Bytes> PeerCertificate() override {
    ++certificateQueries_;
    return certificate_;
  }

  size_t consumed() const { return consumed_; }
  int certificateQueries() const { return certificateQueries_; }

 private:
  Bytes stream_;
  std::optional<Bytes> certificate_;
  size_t consumed_ = 0;
  int certificateQueries_ = 0;
};

struct Outcome {
  bool ok = false;
  std::string deviceId;
  std::string error;
};

Outcome Verify(FakeSource& source, const std::string& pin, bool insecureNoPin = false) {
  Outcome outcome;
  outcome.ok = VerifyDeviceBinding(source, pin, insecureNoPin, outcome.deviceId, outcome.error);
  return outcome;
}

class DeviceBindingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    device_ = new testing::DeviceKey(testing::DeviceKey::Generate());
    certificate_ = new Bytes(testing::TlsIdentity::Generate("binding-test").certificateDer);
  }
  static void TearDownTestSuite() {
    delete device_;
    delete certificate_;
  }

  static Bytes Key() { return device_->PublicPoint(); }
  static Bytes Signature() { return device_->SignRaw(testing::Sha256Of(*certificate_)); }
  static Bytes ValidBinding() { return testing::EncodeBinding(Key(), Signature()); }
  static std::string Id() { return ComputeDeviceId(Key()); }

  static testing::DeviceKey* device_;
  static Bytes* certificate_;
};

testing::DeviceKey* DeviceBindingTest::device_ = nullptr;
Bytes* DeviceBindingTest::certificate_ = nullptr;

TEST(DeviceIdTest, MatchesTruncatedLowerCaseBase32OfTheKeyDigest) {
  // Expected values from an independent base32 implementation.
  Bytes counting = {0x04};
  for (uint8_t i = 1; i <= 64; ++i) counting.push_back(i);
  EXPECT_EQ(ComputeDeviceId(counting), "b3j2nk4vp73plguw");
  Bytes zeros(65, 0);
  zeros[0] = 0x04;
  EXPECT_EQ(ComputeDeviceId(zeros), "lhxruwqa6nnru4rn");
}

TEST(DeviceIdTest, IsSixteenAlphabetCharactersAndStablePerKey) {
  for (int i = 0; i < 8; ++i) {
    const Bytes key = testing::DeviceKey::Generate().PublicPoint();
    const std::string id = ComputeDeviceId(key);
    ASSERT_EQ(id.size(), kDeviceIdLength);
    EXPECT_TRUE(std::all_of(id.begin(), id.end(), [](char c) { return std::strchr(kDeviceIdAlphabet, c) != nullptr; }))
        << id;
    EXPECT_EQ(ComputeDeviceId(key), id);
  }
}

TEST(DeviceIdTest, AgreesWithTheCommandLineTools) {
  if (!testing::HaveTool("openssl") || !testing::HaveTool("base32")) {
    GTEST_SKIP() << "openssl or base32 is not installed; the tool cross-check is skipped";
  }
  testing::TempDir dir;
  std::string output;
  ASSERT_EQ(testing::RunShell("openssl ecparam -name prime256v1 -genkey -noout -out " + (dir / "device.pem") +
                                  " 2>/dev/null && openssl ec -in " + (dir / "device.pem") +
                                  " -pubout -conv_form uncompressed -outform DER 2>/dev/null | tail -c 65 > " +
                                  (dir / "public.bin"),
                              output),
            0);
  ASSERT_EQ(testing::RunShell("openssl dgst -sha256 -binary " + (dir / "public.bin") +
                                  " | base32 | tr 'A-Z' 'a-z' | cut -c1-16",
                              output),
            0);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  const Bytes key = testing::ReadFileBytes(dir / "public.bin");
  ASSERT_EQ(key.size(), 65u);
  EXPECT_EQ(ComputeDeviceId(key), output);
  // The tools' key is the same point the test peer derives from the private key.
  EXPECT_EQ(testing::DeviceKey::LoadPem(dir / "device.pem").PublicPoint(), key);
}

TEST(CryptoTest, Sha256KnownAnswer) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const auto digest = Sha256(abc);
  ASSERT_TRUE(digest);
  const Sha256Digest expected = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                 0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(*digest, expected);
}

TEST(CryptoTest, VerifiesOnlyTheExactDigestKeyAndSignature) {
  const auto device = testing::DeviceKey::Generate();
  const Bytes message = testing::Pattern(100, 1);
  const auto digest = *Sha256(message);
  const Bytes key = device.PublicPoint();
  Bytes signature = device.SignRaw(digest);
  EXPECT_TRUE(VerifyP256Signature(key, signature, digest));

  Sha256Digest otherDigest = digest;
  otherDigest[31] ^= 1;
  EXPECT_FALSE(VerifyP256Signature(key, signature, otherDigest));
  EXPECT_FALSE(VerifyP256Signature(testing::DeviceKey::Generate().PublicPoint(), signature, digest));

  Bytes flipped = signature;
  flipped[40] ^= 0x80;
  EXPECT_FALSE(VerifyP256Signature(key, flipped, digest));
  EXPECT_FALSE(VerifyP256Signature(key, Bytes(64, 0), digest));  // r = s = 0
  EXPECT_FALSE(VerifyP256Signature(key, Bytes(64, 0xff), digest));  // r, s above the order

  Bytes offCurve = key;
  offCurve[64] ^= 1;
  EXPECT_FALSE(VerifyP256Signature(offCurve, signature, digest));
  EXPECT_FALSE(VerifyP256Signature(device.CompressedPoint(), signature, digest));
  EXPECT_FALSE(VerifyP256Signature(key, device.SignDer(digest), digest));
}

TEST_F(DeviceBindingTest, ValidBindingWithMatchingPinSucceeds) {
  FakeSource source(ValidBinding(), *certificate_);
  const Outcome outcome = Verify(source, Id());
  EXPECT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.deviceId, Id());
  EXPECT_EQ(source.consumed(), 133u);  // 2 + 65 + 2 + 64: nothing read past the binding
}

TEST_F(DeviceBindingTest, PinMismatchNamesBothIds) {
  std::string upper = Id();
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  const std::string other = ComputeDeviceId(testing::DeviceKey::Generate().PublicPoint());
  for (const std::string& pin : {other, upper, Id() + " ", Id().substr(0, 15)}) {
    for (bool insecureNoPin : {false, true}) {  // a given pin always governs
      FakeSource source(ValidBinding(), *certificate_);
      const Outcome outcome = Verify(source, pin, insecureNoPin);
      EXPECT_FALSE(outcome.ok);
      EXPECT_EQ(outcome.error, "device id mismatch: expected " + pin + ", the machine that answered is " + Id());
      EXPECT_EQ(outcome.deviceId, Id());
    }
  }
}

TEST_F(DeviceBindingTest, MissingPinIsReportedOnlyForAValidBinding) {
  FakeSource valid(ValidBinding(), *certificate_);
  EXPECT_EQ(Verify(valid, "").error, kNoPin);

  Bytes forged = Signature();
  forged[5] ^= 1;
  FakeSource invalid(testing::EncodeBinding(Key(), forged), *certificate_);
  const Outcome outcome = Verify(invalid, "");
  EXPECT_EQ(outcome.error, kBadSignature);
  EXPECT_TRUE(outcome.deviceId.empty());
}

TEST_F(DeviceBindingTest, InsecureNoPinAcceptsWithAWarningLine) {
  FakeSource source(ValidBinding(), *certificate_);
  ::testing::internal::CaptureStdout();
  const Outcome outcome = Verify(source, "", true);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(outcome.ok) << outcome.error;
  EXPECT_NE(printed.find(" WRN [tls] NOT PINNED: connected to device " + Id() +
                         " without verifying it was the expected one\n"),
            std::string::npos)
      << printed;
}

TEST_F(DeviceBindingTest, BindingMadeForAnotherCertificateIsRejected) {
  const Bytes otherCertificate = testing::TlsIdentity::Generate("someone-else").certificateDer;
  FakeSource source(ValidBinding(), otherCertificate);
  EXPECT_EQ(Verify(source, Id()).error, kBadSignature);
}

TEST_F(DeviceBindingTest, WrongShapesOfKeyOrSignatureAreInvalidSignatures) {
  const Bytes digest = testing::Sha256Of(*certificate_);
  Bytes prefixed02 = Key();
  prefixed02[0] = 0x02;
  Bytes prefixed03 = Key();
  prefixed03[0] = 0x03;
  const Bytes der = device_->SignDer(digest);
  const Bytes signature = Signature();
  const Bytes key = Key();
  ASSERT_GE(der.size(), 68u);
  ASSERT_LE(der.size(), 72u);
  const Bytes cases[] = {
      testing::EncodeBinding(device_->CompressedPoint(), signature),
      testing::EncodeBinding(prefixed02, signature),
      testing::EncodeBinding(prefixed03, signature),
      testing::EncodeBinding(key, der),
      testing::EncodeBinding(key, Bytes(signature.begin(), signature.begin() + 63)),
      testing::EncodeBinding(Bytes(key.begin(), key.begin() + 64), signature),
  };
  for (const Bytes& binding : cases) {
    FakeSource source(binding, *certificate_);
    EXPECT_EQ(Verify(source, Id(), true).error, kBadSignature);
    EXPECT_EQ(source.consumed(), binding.size());  // the whole binding is read first
  }
}

TEST_F(DeviceBindingTest, BadLengthsEndTheReadBeforeTheField) {
  struct Case {
    Bytes stream;
    size_t consumed;  // what was read when the read gave up
  };
  Bytes longKey = {0x01, 0x2c};  // K = 300, then enough bytes to be read if K were believed
  longKey.resize(400, 0x04);
  Bytes zeroSignature = testing::EncodeBinding(Key(), Bytes());
  zeroSignature.resize(67 + 64, 0);  // S = 0 with plausible bytes after it
  Bytes bigSignature = testing::EncodeBinding(Key(), Bytes(257, 1));
  const Case cases[] = {
      {longKey, 2},
      {{0x00, 0x00}, 2},
      {zeroSignature, 69},
      {bigSignature, 69},
  };
  for (const Case& c : cases) {
    FakeSource source(c.stream, *certificate_);
    EXPECT_EQ(Verify(source, Id()).error, kNoBinding);
    EXPECT_EQ(source.consumed(), c.consumed);
    EXPECT_EQ(source.certificateQueries(), 0);
  }
}

TEST_F(DeviceBindingTest, EveryTruncationIsAMissingBinding) {
  const Bytes binding = ValidBinding();
  for (size_t length = 0; length < binding.size(); ++length) {
    FakeSource source(Bytes(binding.begin(), binding.begin() + static_cast<long>(length)), *certificate_);
    EXPECT_EQ(Verify(source, Id(), true).error, kNoBinding) << "cut at " << length;
  }
}

TEST_F(DeviceBindingTest, CertificateIsCheckedAfterTheBindingAndBeforeTheSignature) {
  FakeSource none(ValidBinding(), std::nullopt);
  EXPECT_EQ(Verify(none, Id()).error, "the client presented no certificate");
  // A malformed key does not matter yet when there is no certificate.
  FakeSource noneAndBadKey(testing::EncodeBinding(device_->CompressedPoint(), Signature()), std::nullopt);
  EXPECT_EQ(Verify(noneAndBadKey, Id()).error, "the client presented no certificate");
}

}  // namespace
}  // namespace stv::agent
