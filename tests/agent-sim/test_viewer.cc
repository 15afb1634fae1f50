#include "agent-sim/test_viewer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "support/wire.h"

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
  timeval timeout{stv::testing::kPatience.count(), 0};
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

long TestViewer::ReadSome(uint8_t* buffer, size_t size, std::chrono::steady_clock::time_point deadline) {
  if (ssl_ == nullptr || SSL_pending(AsSsl(ssl_)) == 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(fd_, static_cast<int>(left.count()))) return -1;
  }
  const long n = ssl_ != nullptr ? SSL_read(AsSsl(ssl_), buffer, static_cast<int>(size)) : ::recv(fd_, buffer, size, 0);
  return std::max(n, 0L);
}

bool TestViewer::ReadExact(uint8_t* buffer, size_t size) {
  const auto deadline = std::chrono::steady_clock::now() + stv::testing::kPatience;
  for (size_t filled = 0; filled < size;) {
    const long n = ReadSome(buffer + filled, size - filled, deadline);
    if (n <= 0) return false;
    filled += static_cast<size_t>(n);
  }
  return true;
}

Bytes TestViewer::ReadUntilClosed(bool& closed) {
  const auto deadline = std::chrono::steady_clock::now() + stv::testing::kPatience;
  Bytes out;
  uint8_t chunk[16384];
  long n;
  while ((n = ReadSome(chunk, sizeof chunk, deadline)) > 0) out.insert(out.end(), chunk, chunk + n);
  closed = n == 0;
  return out;
}

bool TestViewer::Write(const Bytes& bytes) {
  if (ssl_ != nullptr)
    return SSL_write(AsSsl(ssl_), bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<long>(bytes.size());
}

std::optional<WireFrame> TestViewer::ReadFrame() {
  uint8_t header[5];
  if (!ReadExact(header, 5)) return std::nullopt;
  WireFrame frame;
  frame.channel = header[0];
  const uint32_t length = stv::testing::ReadU32(header, 1);
  if (length == 0 || length > 8388608) return std::nullopt;
  frame.payload.resize(length);
  if (!ReadExact(frame.payload.data(), length)) return std::nullopt;
  return frame;
}

std::optional<Bytes> TestViewer::ReadBinding() {
  Bytes binding(2);
  if (!ReadExact(binding.data(), 2)) return std::nullopt;
  const size_t keyLength = stv::testing::ReadU16(binding, 0);
  binding.resize(2 + keyLength + 2);
  if (!ReadExact(binding.data() + 2, keyLength + 2)) return std::nullopt;
  const size_t signatureLength = stv::testing::ReadU16(binding, 2 + keyLength);
  binding.resize(4 + keyLength + signatureLength);
  if (!ReadExact(binding.data() + 4 + keyLength, signatureLength)) return std::nullopt;
  return binding;
}

bool TestViewer::SendToken(const std::string& token) {
  Bytes bytes = {static_cast<uint8_t>(token.size() >> 8), static_cast<uint8_t>(token.size())};
  bytes.insert(bytes.end(), token.begin(), token.end());
  return Write(bytes);
}

bool TestViewer::SendControl(const std::string& json) {
  return Write(stv::testing::MakeFrame(0, Bytes(json.begin(), json.end())));
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

}  // namespace stv::sim::testing
