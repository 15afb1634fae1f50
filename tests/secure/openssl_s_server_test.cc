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

TEST(SServerTest, PinnedSessionWithToolMadeKeysSendsTheTokenAndCarriesFramesBothWays) {
  if (!testing::ProgramOnPath("openssl") || !testing::ProgramOnPath("base32")) {
    GTEST_SKIP() << "the openssl command line or base32 is missing";
  }
  const testing::TempDir dir;
  const std::string key = dir / "device.pem", pub = dir / "device.pub", cert = dir / "agent.pem";
  // The device id and the binding's signature over the certificate's digest come from the
  // tools; only the DER signature's conversion to raw r and s happens here.
  const testing::CommandResult id = testing::RunShell(
      "openssl ecparam -name prime256v1 -genkey -noout -out " + key + " && openssl ec -in " + key +
      " -pubout -conv_form uncompressed -outform DER | tail -c 65 > " + pub + " && openssl req -x509 -newkey ec " +
      "-pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=agent -days 1 -keyout " + (dir / "agent.key") + " -out " +
      cert + " && openssl x509 -in " + cert + " -outform DER | openssl dgst -sha256 -binary > " + (dir / "digest") +
      " && openssl pkeyutl -sign -inkey " + key + " -in " + (dir / "digest") + " -out " + (dir / "sig") +
      " && openssl dgst -sha256 -binary " + pub + " | base32 | tr 'A-Z' 'a-z' | cut -c1-16");
  ASSERT_TRUE(id.exitCode == 0 && id.output.size() == 17u) << id.output << id.errors;
  const std::string deviceId = id.output.substr(0, 16);
  const auto signature = sim::RawSignatureFromDer(testing::ReadFileBytes(dir / "sig"));
  ASSERT_TRUE(signature);
  Bytes input = testing::EncodeBinding(testing::ReadFileBytes(pub), *signature);
  const Bytes payload = testing::Pattern(20000, 1);  // more than one record
  const Bytes video = testing::MakeFrame(1, payload);
  input.insert(input.end(), video.begin(), video.end());

  // s_server sends its standard input once the tunnel is up, and stops at its end.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const std::unique_ptr<int, void (*)(int*)> inputEnd(&fds[1], [](int* fd) { ::close(*fd); });
  const uint16_t port = testing::LoopbackPeer().port();  // was free a moment ago
  testing::LaunchPlan plan;
  plan.argv = {"openssl", "s_server", "-tls1_2", "-accept",         "127.0.0.1:" + std::to_string(port),
               "-cert",   cert,       "-key",    dir / "agent.key", "-naccept",
               "1",       "-quiet"};
  plan.stdoutPath = plan.stderrPath = dir / "s_server.log";
  plan.stdinFd = fds[0];
  testing::ChildProcess server;
  std::string error;
  ASSERT_TRUE(server.Start(plan, error)) << error;
  ::close(fds[0]);
  ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));

  // Its single accept is for the session, so nothing probes it: the connect is retried while refused.
  const Bytes token = testing::Pattern(128, 8);  // the longest allowed
  TcpTransport::Security security;
  security.pin = deviceId;
  security.token.assign(token.begin(), token.end());
  std::unique_ptr<TcpTransport> transport;
  testing::PollUntil([&] {
    transport = TcpTransport::Connect("127.0.0.1", port, security, error);
    return transport || error != "connect failed (WSA 111)";
  });
  ASSERT_TRUE(transport) << error;
  testing::Inbox inbox;
  transport->Start(inbox.Handler());
  EXPECT_TRUE(inbox.WaitFor(1));
  EXPECT_EQ(inbox.Messages(), (std::vector<testing::Inbox::Message>{{Channel::Video, payload}}));
  // s_server writes what it receives to its log: the token after its 16-bit length, then frames.
  transport->Send(Channel::Control, std::string_view("abc"));
  Bytes sent = {0, 128};
  sent.insert(sent.end(), token.begin(), token.end());
  const Bytes frame = testing::MakeFrame(0, Bytes{'a', 'b', 'c'});
  sent.insert(sent.end(), frame.begin(), frame.end());
  EXPECT_TRUE(testing::PollUntil([&] { return testing::ReadFileBytes(dir / "s_server.log") == sent; }))
      << ::testing::PrintToString(testing::ReadFileBytes(dir / "s_server.log"));
  transport->Close();
}

}  // namespace
}  // namespace stv::agent
