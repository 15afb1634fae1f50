#include "secure/device_binding.h"

#include <gtest/gtest.h>

#include "device_binding_message.h"
#include "secure/crypto.h"
#include "support/wire.h"
#include "tls_server.h"

namespace stv::agent {
namespace {

using testing::Bytes;
using testing::RecordedBinding;

constexpr char kNoBinding[] = "the client sent no device binding";
constexpr char kBadSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";

std::string VerifyError(RecordedBinding& source, const std::string& pin, bool insecureNoPin = false) {
  std::string deviceId;
  std::string error;
  return VerifyDeviceBinding(source, pin, insecureNoPin, deviceId, error) ? "ok " + deviceId : error;
}
std::string VerifyError(Bytes stream, std::optional<Bytes> certificate, const std::string& pin, bool insecure = false) {
  RecordedBinding source(std::move(stream), std::move(certificate));
  return VerifyError(source, pin, insecure);
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

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(VerifyError(binding_, certificate_, "", true), "ok " + id_);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find(" WRN [tls] NOT PINNED: connected to device " + id_ +
                                                          " without verifying it was the expected one\n"),
            std::string::npos);

  // A given pin governs even with the switch; a trailing space is a different id.
  EXPECT_EQ(VerifyError(binding_, certificate_, id_ + " ", true),
            "device id mismatch: expected " + id_ + " , the machine that answered is " + id_);
}

TEST_F(DeviceBindingTest, BadLengthsStopTheReadBeforeTheirField) {
  Bytes longKey = {0x01, 0x2c};  // K = 300, followed by enough bytes to read if believed
  longKey.resize(400, 0x04);
  Bytes noSignature = testing::EncodeBinding(device_->publicPoint(), Bytes());
  noSignature.resize(200, 0);
  // Each stream, and where the read gave up.
  const std::pair<Bytes, size_t> cases[] = {
      {longKey, 2},
      {{0x00, 0x00, 0x04}, 2},
      {noSignature, 69},
      {testing::EncodeBinding(device_->publicPoint(), Bytes(257, 1)), 69},
  };
  for (const auto& [stream, consumed] : cases) {
    RecordedBinding source(stream, certificate_);
    EXPECT_EQ(VerifyError(source, id_), kNoBinding);
    EXPECT_EQ(source.consumed, consumed);
    EXPECT_EQ(source.certificateQueries, 0);
  }
  for (size_t cut = 0; cut < binding_.size(); ++cut) {
    EXPECT_EQ(VerifyError(Bytes(binding_.begin(), binding_.begin() + static_cast<long>(cut)), certificate_, id_, true),
              kNoBinding)
        << "cut at " << cut;
  }
}

// A missing pin is news only for a valid binding, and the key is judged only with a certificate.
TEST_F(DeviceBindingTest, VerdictsComeInOrder) {
  EXPECT_EQ(VerifyError(binding_, certificate_, ""),
            "no device id to pin against (pass --pin <deviceId>, or --insecure-no-pin)");
  Bytes forged = binding_;
  forged.back() ^= 1;
  EXPECT_EQ(VerifyError(forged, certificate_, ""), kBadSignature);
  const Bytes badKey = Binding(sim::Fault::kCompressedKey);
  EXPECT_EQ(VerifyError(badKey, std::nullopt, id_), "the client presented no certificate");
  EXPECT_EQ(VerifyError(badKey, certificate_, id_), kBadSignature);
}

}  // namespace
}  // namespace stv::agent
