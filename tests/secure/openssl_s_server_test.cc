// The channel against an independent TLS server, the openssl command line's s_server, with
// a certificate, a device key and a binding made by the command-line tools as well.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "device_key.h"
#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/wire.h"
#include "transport/tcp_transport.h"

namespace stv::agent {
namespace {

using testing::Bytes;

// `openssl s_server` on a free port, fed `input` on standard input (which it sends once the
// tunnel is up), its output in a log file.
class SServer {
 public:
  SServer(const testing::TempDir& dir, const std::string& name, const Bytes& input)
      : port_(testing::LoopbackPeer().port()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    testing::LaunchPlan plan;
    plan.argv = {"openssl",
                 "s_server",
                 "-tls1_2",
                 "-accept",
                 "127.0.0.1:" + std::to_string(port_),
                 "-cert",
                 dir / (name + ".pem"),
                 "-key",
                 dir / (name + ".key"),
                 "-naccept",
                 "1",
                 "-quiet"};
    plan.stdoutPath = plan.stderrPath = dir / "s_server.log";
    plan.stdinFd = fds[0];
    std::string error;
    process_.Start(plan, error);
    ::close(fds[0]);
    input_ = fds[1];
    // Stays open until the end: at end of input s_server would stop sending.
    if (::write(input_, input.data(), input.size()) != static_cast<ssize_t>(input.size())) process_.Kill();
  }
  ~SServer() {
    if (input_ >= 0) ::close(input_);
  }

  uint16_t port() const { return port_; }

  // Its single accept is for the session, so nothing probes it: the session's own connect is
  // retried while the port is refused.
  std::unique_ptr<TcpTransport> Connect(const TcpTransport::Security& security, std::string& error) {
    std::unique_ptr<TcpTransport> transport;
    testing::PollUntil([&] {
      transport = TcpTransport::Connect("127.0.0.1", port_, security, error);
      return transport || error != "connect failed (WSA 111)";
    });
    return transport;
  }

 private:
  uint16_t port_;  // was free a moment ago
  int input_ = -1;
  testing::ChildProcess process_;
};

class SServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ProgramOnPath("openssl") || !testing::ProgramOnPath("base32")) {
      GTEST_SKIP() << "the openssl command line or base32 is missing; s_server tests are skipped";
    }
    std::string id;
    ASSERT_TRUE(Tool("openssl ecparam -name prime256v1 -genkey -noout -out " + (dir_ / "device.pem") +
                         " && openssl ec -in " + (dir_ / "device.pem") +
                         " -pubout -conv_form uncompressed -outform DER | tail -c 65 > " + (dir_ / "device.pub") +
                         " && openssl dgst -sha256 -binary " + (dir_ / "device.pub") +
                         " | base32 | tr 'A-Z' 'a-z' | cut -c1-16",
                     &id));
    ASSERT_EQ(id.size(), 17u);
    deviceId_ = id.substr(0, 16);
    ASSERT_TRUE(MakeCertificate("agent"));
  }

  static bool Tool(const std::string& command, std::string* output = nullptr) {
    const testing::CommandResult result = testing::RunShell(command);
    if (output != nullptr) *output = result.output;
    return result.exitCode == 0;
  }
  bool MakeCertificate(const std::string& name) {
    return Tool("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name +
                " -days 1 -keyout " + (dir_ / name + ".key") + " -out " + (dir_ / name + ".pem"));
  }
  // The device's binding over certificate `name`: digest and signature by the tools; only
  // the DER signature's conversion to raw r and s happens here.
  Bytes ToolMadeBinding(const std::string& name) {
    const std::string digest = dir_ / (name + ".digest");
    const std::string signature = dir_ / (name + ".sig");
    if (!Tool("openssl x509 -in " + (dir_ / name + ".pem") + " -outform DER | openssl dgst -sha256 -binary > " +
              digest + " && openssl pkeyutl -sign -inkey " + (dir_ / "device.pem") + " -in " + digest + " -out " +
              signature)) {
      return {};
    }
    const auto raw = sim::RawSignatureFromDer(testing::ReadFileBytes(signature));
    return raw ? testing::EncodeBinding(testing::ReadFileBytes(dir_ / "device.pub"), *raw) : Bytes();
  }

  testing::TempDir dir_;
  std::string deviceId_;
};

TEST_F(SServerTest, PinnedSessionCarriesFramesButABindingForAnotherCertificateIsRefused) {
  ASSERT_TRUE(MakeCertificate("other"));
  const Bytes replayed = ToolMadeBinding("other");
  ASSERT_EQ(replayed.size(), 133u);
  TcpTransport::Security security;
  security.pin = deviceId_;
  std::string error;
  {
    SServer server(dir_, "agent", replayed);
    EXPECT_FALSE(server.Connect(security, error));
    EXPECT_EQ(error,
              "the device binding signature is invalid: the machine that answered does not hold the key it claims");
  }

  Bytes input = ToolMadeBinding("agent");
  ASSERT_EQ(input.size(), 133u);
  const Bytes first = testing::Pattern(20000, 1);
  const Bytes second = testing::Pattern(3, 2);
  for (const Bytes& frame : {testing::MakeFrame(1, first), testing::MakeFrame(0, second)}) {
    input.insert(input.end(), frame.begin(), frame.end());
  }
  SServer server(dir_, "agent", input);
  security.token = "t";
  auto transport = server.Connect(security, error);
  ASSERT_TRUE(transport) << error;
  EXPECT_EQ(transport->Peer(), "127.0.0.1:" + std::to_string(server.port()) + " (" + deviceId_ + ")");

  testing::Inbox inbox;
  transport->Start(inbox.Handler());
  ASSERT_TRUE(inbox.WaitFor(2));
  EXPECT_EQ(inbox.Messages(),
            (std::vector<testing::Inbox::Message>{{Channel::Video, first}, {Channel::Control, second}}));
}

}  // namespace
}  // namespace stv::agent
