// The device key and the binding the agent sends, checked by the viewer's own verifier.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "device_binding_message.h"
#include "device_key.h"
#include "secure/device_binding.h"
#include "tls_server.h"

namespace stv::sim {
namespace {

constexpr char kInvalidSignature[] =
    "the device binding signature is invalid: the machine that answered does not hold the key it claims";

// The binding bytes as they would come out of the tunnel, next to the certificate presented.
class RecordedBinding final : public agent::DeviceBindingSource {
 public:
  RecordedBinding(std::vector<uint8_t> bytes, std::vector<uint8_t> certificate)
      : bytes_(std::move(bytes)), certificate_(std::move(certificate)) {}
  bool ReadBindingBytes(uint8_t* buffer, size_t size) override {
    if (size > bytes_.size() - offset_) return false;
    std::copy_n(bytes_.begin() + static_cast<long>(offset_), size, buffer);
    offset_ += size;
    return true;
  }
  std::optional<std::vector<uint8_t>> PeerCertificate() override { return certificate_; }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> certificate_;
  size_t offset_ = 0;
};

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server_ = TlsServer::Create(error);
    ASSERT_TRUE(server_) << error;
    key_ = DeviceKey::Generate();
    ASSERT_TRUE(key_);
  }

  // Verifies the binding built for `fault` with the key's own id pinned; the error text.
  std::string Verify(Fault fault, std::string* peerId = nullptr) {
    const std::vector<uint8_t> foreign = MakeUnrelatedCertificateDer();
    const auto bytes = BuildDeviceBinding(*key_, server_->certificateDer(), foreign, fault);
    EXPECT_TRUE(bytes);
    RecordedBinding source(*bytes, server_->certificateDer());
    std::string id;
    std::string error;
    const bool ok = agent::VerifyDeviceBinding(source, DeviceIdOf(key_->publicPoint()), false, id, error);
    if (peerId != nullptr) *peerId = id;
    return ok ? "ok" : error;
  }

  std::unique_ptr<TlsServer> server_;
  std::unique_ptr<DeviceKey> key_;
};

TEST_F(Binding, GoodBindingVerifiesAndNamesTheDevice) {
  std::string peerId;
  EXPECT_EQ(Verify(Fault::kNone, &peerId), "ok");
  EXPECT_EQ(peerId, DeviceIdOf(key_->publicPoint()));
  const auto bytes = BuildDeviceBinding(*key_, server_->certificateDer(), {}, Fault::kNone);
  ASSERT_EQ(bytes->size(), 2u + 65 + 2 + 64);
  EXPECT_EQ((*bytes)[0], 0);
  EXPECT_EQ((*bytes)[1], 65);
  EXPECT_EQ((*bytes)[2], 0x04);
  EXPECT_EQ((*bytes)[67], 0);
  EXPECT_EQ((*bytes)[68], 64);
}

TEST_F(Binding, EachBindingFaultFailsAsTheViewerExpects) {
  EXPECT_EQ(Verify(Fault::kBadSignature), kInvalidSignature);
  EXPECT_EQ(Verify(Fault::kForeignBinding), kInvalidSignature);
  EXPECT_EQ(Verify(Fault::kCompressedKey), kInvalidSignature);
  EXPECT_EQ(Verify(Fault::kDerSignature), kInvalidSignature);
  EXPECT_EQ(Verify(Fault::kKeyLength), "the client sent no device binding");

  const auto der = BuildDeviceBinding(*key_, server_->certificateDer(), {}, Fault::kDerSignature);
  const size_t signatureLength = ((*der)[67] << 8) | (*der)[68];
  EXPECT_GE(signatureLength, 70u);
  EXPECT_LE(signatureLength, 72u);
  EXPECT_EQ((*der)[69], 0x30) << "a DER SEQUENCE";
}

TEST_F(Binding, EveryRunPresentsAFreshCertificate) {
  std::string error;
  const auto other = TlsServer::Create(error);
  ASSERT_TRUE(other);
  EXPECT_NE(other->certificateDer(), server_->certificateDer());
}

TEST(DeviceKeyFile, IsCreatedOnceAndKeepsTheId) {
  const std::string folder = "/tmp/stv-agent-sim-key-test-" + std::to_string(::getpid());
  const std::string path = folder + "/nested/key.pem";
  std::string error;
  const auto created = DeviceKey::LoadOrCreate(path, error);
  ASSERT_TRUE(created) << error;
  const auto loaded = DeviceKey::LoadOrCreate(path, error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(created->publicPoint(), loaded->publicPoint());
  const std::string id = DeviceIdOf(loaded->publicPoint());
  EXPECT_EQ(id.size(), 16u);
  EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyz234567"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "a private key is for its owner only";

  std::ofstream(path) << "not a key\n";
  EXPECT_FALSE(DeviceKey::LoadOrCreate(path, error));
  EXPECT_NE(error.find("not a P-256 private key"), std::string::npos) << error;
  std::remove(path.c_str());
  ::rmdir((folder + "/nested").c_str());
  ::rmdir(folder.c_str());
}

}  // namespace
}  // namespace stv::sim
