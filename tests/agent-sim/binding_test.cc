// The device key and the binding the agent sends. That the viewer accepts the good binding and
// refuses each faulty one with its own words is checked end to end against the real agent
// (fault_e2e_test); here is what the viewer's answer cannot show.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "common/byte_order.h"
#include "device_binding_message.h"
#include "device_key.h"
#include "support/child_process.h"
#include "tls_server.h"

namespace stv::sim {
namespace {

TEST(Binding, DerSignatureFaultIsADerSequenceAndEveryRunHasItsOwnCertificate) {
  std::string error;
  const auto server = TlsServer::Create(error);
  ASSERT_TRUE(server) << error;
  const auto key = DeviceKey::Generate();
  ASSERT_TRUE(key);
  const auto der = BuildDeviceBinding(*key, server->certificateDer(), {}, Fault::kDerSignature);
  ASSERT_TRUE(der);
  const size_t signatureLength = ReadU16Be(&(*der)[67]);
  EXPECT_GE(signatureLength, 70u);
  EXPECT_LE(signatureLength, 72u);
  EXPECT_EQ((*der)[69], 0x30) << "a DER SEQUENCE";

  const auto other = TlsServer::Create(error);
  ASSERT_TRUE(other) << error;
  EXPECT_NE(other->certificateDer(), server->certificateDer());
}

TEST(DeviceKeyFile, IsCreatedOnceForItsOwnerAndKeepsTheId) {
  const stv::testing::TempDir dir;
  const std::string path = dir / "nested/key.pem";
  std::string error;
  const auto created = DeviceKey::LoadOrCreate(path, error);
  ASSERT_TRUE(created) << error;
  const auto loaded = DeviceKey::LoadOrCreate(path, error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(created->publicPoint(), loaded->publicPoint());
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "a private key is for its owner only";

  std::ofstream(path) << "not a key\n";
  EXPECT_FALSE(DeviceKey::LoadOrCreate(path, error));
  EXPECT_NE(error.find("not a P-256 private key"), std::string::npos) << error;
}

}  // namespace
}  // namespace stv::sim
