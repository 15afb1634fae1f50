#include "tls/openssl_test_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "secure/socket_io.h"
#include "support/child_process.h"

namespace stv::testing {
namespace {

// Nothing meaningful can follow a failed key generation or bind.
void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "test peer: %s failed\n", what);
  ERR_print_errors_fp(stderr);
  std::abort();
}

std::shared_ptr<EVP_PKEY> GenerateP256() {
  std::shared_ptr<EVP_PKEY> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  Require(key != nullptr, "EC key generation");
  return key;
}

}  // namespace

TlsIdentity TlsIdentity::Generate(const std::string& commonName) {
  TlsIdentity identity{GenerateP256(), std::shared_ptr<X509>(X509_new(), X509_free), {}};
  X509* x = identity.certificate.get();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(x, name);
  X509_set_pubkey(x, identity.key.get());
  Require(X509_sign(x, identity.key.get(), EVP_sha256()) > 0, "X509_sign");
  unsigned char* der = nullptr;
  const int length = i2d_X509(x, &der);
  Require(length > 0, "i2d_X509");
  identity.certificateDer.assign(der, der + length);
  OPENSSL_free(der);
  return identity;
}

DeviceKey DeviceKey::Generate() {
  DeviceKey device;
  device.key_ = GenerateP256();
  return device;
}

Bytes DeviceKey::PublicPoint() const {
  Bytes point(65);
  size_t length = 0;
  Require(EVP_PKEY_get_octet_string_param(key_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                          &length) == 1 &&
              length == 65 && point[0] == 0x04,
          "public point");
  return point;
}

Bytes DeviceKey::CompressedPoint() const {
  const Bytes full = PublicPoint();
  Bytes point(33);
  point[0] = full[64] & 1 ? 0x03 : 0x02;  // the parity of Y
  std::copy(full.begin() + 1, full.begin() + 33, point.begin() + 1);
  return point;
}

Bytes DeviceKey::SignDer(std::span<const uint8_t> digest) const {
  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> context(EVP_PKEY_CTX_new(key_.get(), nullptr),
                                                                 EVP_PKEY_CTX_free);
  size_t length = 0;
  Require(context && EVP_PKEY_sign_init(context.get()) == 1 &&
              EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) == 1,
          "sign init");
  Bytes signature(length);
  Require(EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) == 1, "sign");
  signature.resize(length);
  return signature;
}

Bytes DeviceKey::SignRaw(std::span<const uint8_t> digest) const { return RawSignature(SignDer(digest)); }

Bytes Sha256Of(std::span<const uint8_t> data) {
  Bytes digest(32);
  Require(EVP_Digest(data.data(), data.size(), digest.data(), nullptr, EVP_sha256(), nullptr) == 1, "sha256");
  return digest;
}

Bytes RawSignature(std::span<const uint8_t> der) {
  const unsigned char* cursor = der.data();
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  if (parsed == nullptr) return {};
  Bytes raw(64);
  const bool fits = BN_bn2binpad(ECDSA_SIG_get0_r(parsed), raw.data(), 32) == 32 &&
                    BN_bn2binpad(ECDSA_SIG_get0_s(parsed), raw.data() + 32, 32) == 32;
  ECDSA_SIG_free(parsed);
  return fits ? raw : Bytes();
}

Bytes EncodeBinding(std::span<const uint8_t> key, std::span<const uint8_t> signature) {
  Bytes bytes;
  for (std::span<const uint8_t> field : {key, signature}) {
    bytes.push_back(static_cast<uint8_t>(field.size() >> 8));
    bytes.push_back(static_cast<uint8_t>(field.size()));
    bytes.insert(bytes.end(), field.begin(), field.end());
  }
  return bytes;
}

Bytes SignedBinding(const DeviceKey& device, std::span<const uint8_t> certificateDer) {
  return EncodeBinding(device.PublicPoint(), device.SignRaw(Sha256Of(certificateDer)));
}

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

ServerConnection::ServerConnection(int socket, SSL_CTX* context) : socket_(socket), ssl_(SSL_new(context)) {
  Require(ssl_ != nullptr, "SSL_new");
  const timeval timeout{kPatience.count(), 0};
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  SSL_set_fd(ssl_, socket_);
}

ServerConnection::~ServerConnection() {
  SSL_free(ssl_);
  Close();
}

bool ServerConnection::Accept() { return SSL_accept(ssl_) == 1; }

bool ServerConnection::Write(std::span<const uint8_t> bytes) {
  return bytes.empty() ||
         SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

bool ServerConnection::ReadExact(std::span<uint8_t> bytes) {
  for (size_t filled = 0; filled < bytes.size();) {
    const int n = SSL_read(ssl_, bytes.data() + filled, static_cast<int>(bytes.size() - filled));
    if (n <= 0) return false;
    filled += static_cast<size_t>(n);
  }
  return true;
}

int ServerConnection::ReadSome(uint8_t* buffer, int capacity) { return SSL_read(ssl_, buffer, capacity); }

size_t ServerConnection::DrainUntilClosed() {
  uint8_t buffer[16384];
  size_t total = 0;
  for (int n; (n = ReadSome(buffer, sizeof buffer)) > 0;) total += static_cast<size_t>(n);
  return total;
}

void ServerConnection::CloseNotify() { SSL_shutdown(ssl_); }

void ServerConnection::Close() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

TlsTestServer::TlsTestServer(const ServerOptions& options) : context_(SSL_CTX_new(TLS_server_method())) {
  Require(context_ != nullptr && options.identity != nullptr, "server context");
  // Protocols older than TLS 1.2 are offered only at the lowest security level.
  if (options.minVersion < 0x0303) SSL_CTX_set_cipher_list(context_, "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_min_proto_version(context_, options.minVersion);
  SSL_CTX_set_max_proto_version(context_, options.maxVersion);
  Require(SSL_CTX_use_certificate(context_, options.identity->certificate.get()) == 1 &&
              SSL_CTX_use_PrivateKey(context_, options.identity->key.get()) == 1,
          "server identity");
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  Require(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listener_, 4) == 0 &&
              ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "listen");
  port_ = ntohs(address.sin_port);
}

TlsTestServer::~TlsTestServer() {
  // Unblocks an accept that will never see a client, and a read the client abandoned.
  ::shutdown(listener_, SHUT_RDWR);
  {
    std::lock_guard<std::mutex> lock(activeMutex_);
    if (active_ >= 0) ::shutdown(active_, SHUT_RDWR);
  }
  Join();
  ::close(listener_);
  SSL_CTX_free(context_);
}

void TlsTestServer::Start(std::function<void(ServerConnection&)> script) {
  thread_ = std::thread([this, script = std::move(script)] {
    // A client that left must give this thread EPIPE, not a signal. Only this thread is
    // shielded, so the viewer's own sends stay exposed.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket >= 0) {
      {
        std::lock_guard<std::mutex> lock(activeMutex_);
        active_ = socket;
      }
      ServerConnection connection(socket, context_);
      script(connection);
      scriptDone_ = true;
      // Cleared before the connection closes its socket, so teardown never touches a stale one.
      std::lock_guard<std::mutex> lock(activeMutex_);
      active_ = -1;
    }
    OPENSSL_thread_stop();  // this thread's error queue dies with it
  });
}

void TlsTestServer::Join() {
  if (thread_.joinable()) thread_.join();
}

int ConnectLoopback(uint16_t port) {
  std::string error;
  const int socket = agent::ConnectTcp("127.0.0.1", port, error);
  if (socket >= 0) agent::ApplySessionSocketOptions(socket);
  return socket;
}

}  // namespace stv::testing
