// The channel against an independent TLS server: the openssl command line's s_server, with
// a certificate, device key and binding made by the command-line tools as well.
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
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "tls/command_line_tools.h"
#include "tls/openssl_test_peer.h"
#include "transport/tcp_transport.h"

extern char** environ;

namespace stv::agent {
namespace {

using testing::Bytes;

// A child process whose standard input is a pipe we hold and whose output goes to a file.
// Killed and reaped on destruction.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& outputPath) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    input_ = fds[1];
  }
  ~ChildProcess() {
    if (input_ >= 0) ::close(input_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool Running() {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
  }
  bool WriteInput(const Bytes& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(input_, bytes.data() + written, bytes.size() - written);
      if (n <= 0) return false;
      written += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

// A port nobody listens on right now.
uint16_t FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

// Looks for a listening socket on 127.0.0.1:`port` without connecting to it, so that the
// server's single accept is kept for the session.
bool IsListening(uint16_t port) {
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

// DER SEQUENCE { INTEGER r, INTEGER s } to 64 raw bytes; empty when it does not parse.
Bytes DerSignatureToRaw(const Bytes& der) {
  size_t at = 0;
  auto take = [&](uint8_t tag) -> std::optional<std::pair<size_t, size_t>> {
    if (at + 2 > der.size() || der[at] != tag || der[at + 1] >= 0x80) return std::nullopt;
    const size_t start = at + 2;
    const size_t length = der[at + 1];
    if (start + length > der.size()) return std::nullopt;
    at = start;
    return std::make_pair(start, length);
  };
  Bytes raw(64, 0);
  if (!take(0x30)) return {};
  for (int half = 0; half < 2; ++half) {
    const auto integer = take(0x02);
    if (!integer) return {};
    auto [start, length] = *integer;
    while (length > 32 && der[start] == 0) ++start, --length;  // sign padding
    if (length > 32) return {};
    std::copy(der.begin() + static_cast<long>(start), der.begin() + static_cast<long>(start + length),
              raw.begin() + half * 32 + static_cast<long>(32 - length));
    at = start + length;
  }
  return raw;
}

class SServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::HaveTool("openssl") || !testing::HaveTool("base32")) {
      GTEST_SKIP() << "the openssl command line or base32 is not installed; s_server tests are skipped";
    }
    ASSERT_TRUE(MakeIdentity("agent", "cert.pem", "key.pem"));
    ASSERT_TRUE(Tool("openssl ecparam -name prime256v1 -genkey -noout -out " + (dir_ / "device.pem")));
    ASSERT_TRUE(Tool("openssl ec -in " + (dir_ / "device.pem") +
                     " -pubout -conv_form uncompressed -outform DER | tail -c 65 > " + (dir_ / "device.pub")));
    ASSERT_EQ(testing::ReadFileBytes(dir_ / "device.pub").size(), 65u);
    std::string id;
    ASSERT_TRUE(Tool("openssl dgst -sha256 -binary " + (dir_ / "device.pub") +
                         " | base32 | tr 'A-Z' 'a-z' | cut -c1-16",
                     &id));
    deviceId_ = id.substr(0, id.find('\n'));
    ASSERT_EQ(deviceId_.size(), 16u);
  }

  bool Tool(const std::string& command, std::string* output = nullptr) {
    std::string ignored;
    // Pipelines report their last command only; callers check what the tools produced.
    return testing::RunShell("{ " + command + "; } 2>/dev/null", output ? *output : ignored) == 0;
  }
  bool MakeIdentity(const std::string& name, const std::string& cert, const std::string& key) {
    return Tool("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=" + name +
                " -days 1 -keyout " + (dir_ / key) + " -out " + (dir_ / cert));
  }

  // The binding over `cert`, signed by the device key, all by the command-line tools.
  Bytes ToolMadeBinding(const std::string& cert) {
    const std::string digest = dir_ / (cert + ".digest");
    const std::string signature = dir_ / (cert + ".sig");
    if (!Tool("openssl x509 -in " + (dir_ / cert) + " -outform DER | openssl dgst -sha256 -binary > " + digest) ||
        !Tool("openssl pkeyutl -sign -inkey " + (dir_ / "device.pem") + " -in " + digest + " -out " + signature)) {
      return {};
    }
    const Bytes raw = DerSignatureToRaw(testing::ReadFileBytes(signature));
    if (raw.empty()) return {};
    return testing::EncodeBinding(testing::ReadFileBytes(dir_ / "device.pub"), raw);
  }

  // Starts s_server on a free port with `input` queued on its standard input; retried on a
  // port race. Returns nullptr when it never listens.
  std::unique_ptr<ChildProcess> StartServer(const std::vector<std::string>& protocol, const Bytes& input,
                                            uint16_t& port) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      port = FreePort();
      std::vector<std::string> argv = {"openssl", "s_server"};
      argv.insert(argv.end(), protocol.begin(), protocol.end());
      for (const char* arg : {"-accept", "", "-cert", "", "-key", "", "-naccept", "1", "-quiet"}) argv.push_back(arg);
      argv[argv.size() - 8] = "127.0.0.1:" + std::to_string(port);
      argv[argv.size() - 6] = dir_ / "cert.pem";
      argv[argv.size() - 4] = dir_ / "key.pem";
      auto server = std::make_unique<ChildProcess>(argv, dir_ / "s_server.log");
      if (!server->started()) return nullptr;
      // Queued before the connection: s_server sends it as soon as the tunnel is up.
      if (!input.empty() && !server->WriteInput(input)) return nullptr;
      for (int wait = 0; wait < 100 && server->Running(); ++wait) {
        if (IsListening(port)) return server;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    return nullptr;
  }

  testing::TempDir dir_;
  std::string deviceId_;
};

TEST_F(SServerTest, PinnedSessionCarriesFramesFromAnIndependentServer) {
  const Bytes binding = ToolMadeBinding("cert.pem");
  ASSERT_EQ(binding.size(), 133u);
  const Bytes first = testing::Pattern(20000, 1);
  const Bytes second = testing::Pattern(3, 2);
  Bytes input = binding;
  for (const Bytes& frame : {testing::MakeFrame(1, first), testing::MakeFrame(0, second)}) {
    input.insert(input.end(), frame.begin(), frame.end());
  }
  uint16_t port = 0;
  auto server = StartServer({"-tls1_2"}, input, port);
  ASSERT_TRUE(server) << "s_server did not start";

  TcpTransport::Security security;
  security.pin = deviceId_;
  security.token = "t";
  std::string error;
  auto transport = TcpTransport::Connect("127.0.0.1", port, security, error);
  ASSERT_TRUE(transport) << error;
  EXPECT_EQ(transport->Peer(), "127.0.0.1:" + std::to_string(port) + " (" + deviceId_ + ")");

  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<Channel, Bytes>> messages;
  transport->Start([&](Channel channel, std::vector<uint8_t>&& payload) {
    std::lock_guard<std::mutex> lock(mutex);
    messages.emplace_back(channel, std::move(payload));
    arrived.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() >= 2; }));
    EXPECT_EQ(messages[0], std::make_pair(Channel::Video, first));
    EXPECT_EQ(messages[1], std::make_pair(Channel::Control, second));
  }
  transport->Close();
}

TEST_F(SServerTest, BindingForAnotherCertificateIsRefused) {
  ASSERT_TRUE(MakeIdentity("other", "other.pem", "other.key"));
  uint16_t port = 0;
  auto server = StartServer({"-tls1_2"}, ToolMadeBinding("other.pem"), port);
  ASSERT_TRUE(server) << "s_server did not start";
  TcpTransport::Security security;
  security.pin = deviceId_;
  std::string error;
  EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", port, security, error));
  EXPECT_EQ(error,
            "the device binding signature is invalid: the machine that answered does not hold the key it claims");
}

TEST_F(SServerTest, TlsOneThreeOnlyServerIsRefused) {
  uint16_t port = 0;
  auto server = StartServer({"-tls1_3"}, {}, port);
  ASSERT_TRUE(server) << "s_server did not start";
  TcpTransport::Security security;
  security.pin = deviceId_;
  std::string error;
  EXPECT_FALSE(TcpTransport::Connect("127.0.0.1", port, security, error));
  EXPECT_EQ(error.rfind("InitializeSecurityContext failed (0x", 0), 0u) << error;
}

}  // namespace
}  // namespace stv::agent
