// The channel against an independent TLS server, the openssl command line's s_server, with
// a certificate, a device key and a binding made by the command-line tools as well.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "tls/command_line_tools.h"
#include "tls/openssl_test_peer.h"
#include "transport/tcp_transport.h"

extern char** environ;

namespace stv::agent {
namespace {

using testing::Bytes;

// `openssl s_server` on a free port, fed `input` on standard input (which it sends once the
// tunnel is up), its output in a log file. Killed and reaped on destruction.
class SServer {
 public:
  SServer(const std::string& certificate, const std::string& key, const std::string& log, const Bytes& input) {
    port_ = FreePort();
    const std::vector<std::string> argv = {"openssl", "s_server", "-tls1_2", "-accept",
                                           "127.0.0.1:" + std::to_string(port_), "-cert", certificate, "-key", key,
                                           "-naccept", "1", "-quiet"};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&pid_, "openssl", &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    input_ = fds[1];
    // Stays open until the end: at end of input s_server would stop sending.
    if (::write(input_, input.data(), input.size()) != static_cast<ssize_t>(input.size())) Stop();
  }
  ~SServer() { Stop(); }

  uint16_t port() const { return port_; }

  // Waits until it listens, without connecting: its single accept is for the session.
  bool WaitUntilListening() {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port_);
    for (int attempt = 0; attempt < 100 && pid_ > 0; ++attempt) {
      std::ifstream table("/proc/net/tcp");
      for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

 private:
  static uint16_t FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
  }
  void Stop() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int input_ = -1;
  uint16_t port_ = 0;
};

class SServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::HaveTool("openssl") || !testing::HaveTool("base32")) {
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

  bool Tool(const std::string& command, std::string* output = nullptr) {
    std::string ignored;
    return testing::RunShell("{ " + command + "; } 2>/dev/null", output ? *output : ignored) == 0;
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
    return testing::EncodeBinding(testing::ReadFileBytes(dir_ / "device.pub"),
                                  testing::RawSignature(testing::ReadFileBytes(signature)));
  }

  testing::TempDir dir_;
  std::string deviceId_;
};

TEST_F(SServerTest, PinnedSessionCarriesFramesFromAnIndependentServer) {
  Bytes input = ToolMadeBinding("agent");
  ASSERT_EQ(input.size(), 133u);
  const Bytes first = testing::Pattern(20000, 1);
  const Bytes second = testing::Pattern(3, 2);
  for (const Bytes& frame : {testing::MakeFrame(1, first), testing::MakeFrame(0, second)}) {
    input.insert(input.end(), frame.begin(), frame.end());
  }
  SServer server(dir_ / "agent.pem", dir_ / "agent.key", dir_ / "s_server.log", input);
  ASSERT_TRUE(server.WaitUntilListening());

  TcpTransport::Security security;
  security.pin = deviceId_;
  security.token = "t";
  std::string error;
  auto transport = TcpTransport::Connect("127.0.0.1", server.port(), security, error);
  ASSERT_TRUE(transport) << error;
  EXPECT_EQ(transport->Peer(), "127.0.0.1:" + std::to_string(server.port()) + " (" + deviceId_ + ")");

  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<Channel, Bytes>> messages;
  transport->Start([&](Channel channel, std::vector<uint8_t>&& payload) {
    std::lock_guard<std::mutex> lock(mutex);
    messages.emplace_back(channel, std::move(payload));
    arrived.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() == 2; }));
  EXPECT_EQ(messages[0], std::make_pair(Channel::Video, first));
  EXPECT_EQ(messages[1], std::make_pair(Channel::Control, second));
}

TEST_F(SServerTest, BindingForAnotherCertificateIsRefused) {
  ASSERT_TRUE(MakeCertificate("other"));
  const Bytes replayed = ToolMadeBinding("other");
  ASSERT_EQ(replayed.size(), 133u);
  SServer server(dir_ / "agent.pem", dir_ / "agent.key", dir_ / "s_server.log", replayed);
  ASSERT_TRUE(server.WaitUntilListening());
  TcpTransport::Security security;
  security.pin = deviceId_;
  std::string error;
  EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", server.port(), security, error));
  EXPECT_EQ(error,
            "the device binding signature is invalid: the machine that answered does not hold the key it claims");
}

}  // namespace
}  // namespace stv::agent
