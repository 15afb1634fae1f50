#include "agent-sim/test_viewer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace stv::sim::testing {
namespace {

SSL* AsSsl(void* ssl) { return static_cast<SSL*>(ssl); }

bool WaitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs) > 0;
}

}  // namespace

std::unique_ptr<TestViewer> TestViewer::Connect(uint16_t port, bool tls) {
  ::signal(SIGPIPE, SIG_IGN);  // an agent that hangs up must fail a write, not end the test
  std::unique_ptr<TestViewer> viewer(new TestViewer());
  viewer->fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(viewer->fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return nullptr;
  const int one = 1;
  ::setsockopt(viewer->fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!tls) return viewer;
  timeval timeout{5, 0};
  ::setsockopt(viewer->fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  viewer->context_ = context;
  SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
  SSL* ssl = SSL_new(context);
  viewer->ssl_ = ssl;
  SSL_set_fd(ssl, viewer->fd_);
  SSL_set_tlsext_host_name(ssl, "stavolin");
  if (SSL_connect(ssl) != 1) return nullptr;
  return viewer;
}

TestViewer::~TestViewer() {
  if (ssl_ != nullptr) SSL_free(AsSsl(ssl_));
  if (context_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(context_));
  if (fd_ >= 0) ::close(fd_);
}

bool TestViewer::ReadExact(uint8_t* buffer, size_t size, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t filled = 0;
  while (filled < size) {
    if (ssl_ == nullptr || SSL_pending(AsSsl(ssl_)) == 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !WaitReadable(fd_, static_cast<int>(left.count()))) return false;
    }
    const long n = ssl_ != nullptr ? SSL_read(AsSsl(ssl_), buffer + filled, static_cast<int>(size - filled))
                                   : ::recv(fd_, buffer + filled, size - filled, 0);
    if (n <= 0) return false;
    filled += static_cast<size_t>(n);
  }
  return true;
}

Bytes TestViewer::ReadUntilClosed(int timeoutMs, bool& closed) {
  Bytes out;
  closed = false;
  uint8_t chunk[16384];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(fd_, static_cast<int>(left.count()))) return out;
    const long n = ssl_ != nullptr ? SSL_read(AsSsl(ssl_), chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed = true;
      return out;
    }
    out.insert(out.end(), chunk, chunk + n);
  }
}

bool TestViewer::Write(const Bytes& bytes) {
  if (ssl_ != nullptr) return SSL_write(AsSsl(ssl_), bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<long>(bytes.size());
}

std::optional<WireFrame> TestViewer::ReadFrame(int timeoutMs) {
  uint8_t header[5];
  if (!ReadExact(header, 5, timeoutMs)) return std::nullopt;
  WireFrame frame;
  frame.channel = header[0];
  const uint32_t length = (uint32_t{header[1]} << 24) | (uint32_t{header[2]} << 16) | (uint32_t{header[3]} << 8) | header[4];
  if (length == 0 || length > 8388608) return std::nullopt;
  frame.payload.resize(length);
  if (!ReadExact(frame.payload.data(), length, timeoutMs)) return std::nullopt;
  return frame;
}

std::optional<Bytes> TestViewer::ReadBinding(int timeoutMs) {
  Bytes binding(2);
  if (!ReadExact(binding.data(), 2, timeoutMs)) return std::nullopt;
  const size_t keyLength = (size_t{binding[0]} << 8) | binding[1];
  binding.resize(2 + keyLength + 2);
  if (!ReadExact(binding.data() + 2, keyLength + 2, timeoutMs)) return std::nullopt;
  const size_t signatureLength = (size_t{binding[2 + keyLength]} << 8) | binding[3 + keyLength];
  binding.resize(4 + keyLength + signatureLength);
  if (!ReadExact(binding.data() + 4 + keyLength, signatureLength, timeoutMs)) return std::nullopt;
  return binding;
}

bool TestViewer::SendToken(const std::string& token) {
  Bytes bytes = {static_cast<uint8_t>(token.size() >> 8), static_cast<uint8_t>(token.size())};
  bytes.insert(bytes.end(), token.begin(), token.end());
  return Write(bytes);
}

bool TestViewer::SendControl(const std::string& json) {
  Bytes bytes = {0, static_cast<uint8_t>(json.size() >> 24), static_cast<uint8_t>(json.size() >> 16),
                 static_cast<uint8_t>(json.size() >> 8), static_cast<uint8_t>(json.size())};
  bytes.insert(bytes.end(), json.begin(), json.end());
  return Write(bytes);
}

Bytes TestViewer::PeerCertificate() const {
  X509* certificate = SSL_get1_peer_certificate(AsSsl(ssl_));
  unsigned char* der = nullptr;
  const int length = certificate != nullptr ? i2d_X509(certificate, &der) : 0;
  Bytes out(der, der + std::max(length, 0));
  OPENSSL_free(der);
  X509_free(certificate);
  return out;
}

std::string AgentProcess::BinaryPath() { return STV_BINARY_DIR "/tools/agent-sim/stv-agent-sim"; }

std::unique_ptr<AgentProcess> AgentProcess::Start(const std::vector<std::string>& args) {
  std::unique_ptr<AgentProcess> process(new AgentProcess());
  static int counter = 0;
  process->stderrPath_ = "/tmp/stv-agent-sim-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, process->stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> all = {BinaryPath()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawn(&process->pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  process->stdoutFd_ = pipeFds[0];
  if (spawned != 0) {
    process->pid_ = -1;
    return nullptr;
  }
  // Reads stdout up to the listening line and, with TLS, the device id line.
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const bool plaintext = std::find(args.begin(), args.end(), "--plaintext") != args.end();
  while (std::chrono::steady_clock::now() < deadline) {
    if (text.find("listening on ") != std::string::npos && (plaintext || text.find("device id: ") != std::string::npos) &&
        text.back() == '\n') {
      break;
    }
    if (!WaitReadable(process->stdoutFd_, 100)) continue;
    char chunk[256];
    const long n = ::read(process->stdoutFd_, chunk, sizeof chunk);
    if (n <= 0) return nullptr;
    text.append(chunk, static_cast<size_t>(n));
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("listening on ", 0) == 0) process->port_ = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    if (line.rfind("device id: ", 0) == 0) process->deviceId_ = line.substr(11);
  }
  if (process->port_ == 0) return nullptr;
  return process;
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
  if (!stderrPath_.empty()) std::remove(stderrPath_.c_str());
}

int AgentProcess::Wait(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    // Keep the pipe drained so the agent never blocks on its own output.
    if (WaitReadable(stdoutFd_, 20)) {
      char chunk[256];
      [[maybe_unused]] const long n = ::read(stdoutFd_, chunk, sizeof chunk);
    }
  }
  return -1;
}

void AgentProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::string AgentProcess::Stderr() {
  std::ifstream file(stderrPath_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

int RunAgent(const std::vector<std::string>& args, std::string& output) {
  std::string command = "'" + AgentProcess::BinaryPath() + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[4096];
  output.clear();
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace stv::sim::testing
