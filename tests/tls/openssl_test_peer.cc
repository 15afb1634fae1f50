#include "tls/openssl_test_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "secure/socket_io.h"

namespace stv::testing {

void PkeyFree::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
void X509Free::operator()(X509* certificate) const { X509_free(certificate); }

namespace {

// Test set-up failures are fatal: nothing meaningful can follow a missing key.
void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "test peer: %s failed\n", what);
    ERR_print_errors_fp(stderr);
    std::abort();
  }
}

PkeyPtr GenerateP256() {
  PkeyPtr key(EVP_EC_gen("P-256"));
  Require(key != nullptr, "EC key generation");
  return key;
}

Bytes UncompressedPoint(EVP_PKEY* key) {
  Bytes point(65);
  size_t length = 0;
  Require(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                          &length) == 1 &&
              length == 65 && point[0] == 0x04,
          "public point");
  return point;
}

}  // namespace

TlsIdentity TlsIdentity::Generate(const std::string& commonName) {
  TlsIdentity identity;
  identity.key = GenerateP256();
  identity.certificate.reset(X509_new());
  X509* x = identity.certificate.get();
  Require(x != nullptr, "X509_new");
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

DeviceKey DeviceKey::LoadPem(const std::string& path) {
  DeviceKey device;
  FILE* file = std::fopen(path.c_str(), "r");
  Require(file != nullptr, "open device key");
  device.key_.reset(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  Require(device.key_ != nullptr, "read device key");
  return device;
}

Bytes DeviceKey::PublicPoint() const { return UncompressedPoint(key_.get()); }

Bytes DeviceKey::CompressedPoint() const {
  const Bytes full = UncompressedPoint(key_.get());
  Bytes point(33);
  point[0] = full[64] & 1 ? 0x03 : 0x02;  // the parity of Y
  std::copy(full.begin() + 1, full.begin() + 33, point.begin() + 1);
  return point;
}

Bytes DeviceKey::SignDer(std::span<const uint8_t> digest) const {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key_.get(), nullptr);
  Require(context != nullptr && EVP_PKEY_sign_init(context) == 1, "sign init");
  size_t length = 0;
  Require(EVP_PKEY_sign(context, nullptr, &length, digest.data(), digest.size()) == 1, "sign size");
  Bytes signature(length);
  Require(EVP_PKEY_sign(context, signature.data(), &length, digest.data(), digest.size()) == 1, "sign");
  EVP_PKEY_CTX_free(context);
  signature.resize(length);
  return signature;
}

Bytes DeviceKey::SignRaw(std::span<const uint8_t> digest) const {
  const Bytes der = SignDer(digest);
  const unsigned char* cursor = der.data();
  ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  Require(parsed != nullptr, "d2i_ECDSA_SIG");
  Bytes raw(64);
  BN_bn2binpad(ECDSA_SIG_get0_r(parsed), raw.data(), 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(parsed), raw.data() + 32, 32);
  ECDSA_SIG_free(parsed);
  return raw;
}

Bytes Sha256Of(std::span<const uint8_t> data) {
  Bytes digest(32);
  unsigned int length = 0;
  Require(EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) == 1, "sha256");
  return digest;
}

Bytes EncodeBinding(std::span<const uint8_t> key, std::span<const uint8_t> signature) {
  Bytes bytes;
  auto append = [&bytes](std::span<const uint8_t> field) {
    bytes.push_back(static_cast<uint8_t>(field.size() >> 8));
    bytes.push_back(static_cast<uint8_t>(field.size()));
    bytes.insert(bytes.end(), field.begin(), field.end());
  };
  append(key);
  append(signature);
  return bytes;
}

Bytes SignedBinding(const DeviceKey& device, std::span<const uint8_t> certificateDer) {
  return EncodeBinding(device.PublicPoint(), device.SignRaw(Sha256Of(certificateDer)));
}

Bytes MakeFrame(uint8_t channel, std::span<const uint8_t> payload) {
  const auto length = static_cast<uint32_t>(payload.size());
  Bytes bytes = {channel, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                 static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
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

ServerConnection::ServerConnection(int socket, SSL_CTX* context) : socket_(socket) {
  timeval timeout{5, 0};
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  ssl_ = SSL_new(context);
  Require(ssl_ != nullptr, "SSL_new");
  SSL_set_fd(ssl_, socket_);
}

ServerConnection::~ServerConnection() {
  SSL_free(ssl_);
  Close();
}

bool ServerConnection::Accept() { return SSL_accept(ssl_) == 1; }

bool ServerConnection::Write(std::span<const uint8_t> bytes) {
  return bytes.empty() || SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

bool ServerConnection::ReadExact(std::span<uint8_t> bytes) {
  size_t filled = 0;
  while (filled < bytes.size()) {
    const int n = SSL_read(ssl_, bytes.data() + filled, static_cast<int>(bytes.size() - filled));
    if (n <= 0) return false;
    filled += static_cast<size_t>(n);
  }
  return true;
}

int ServerConnection::ReadSome(uint8_t* buffer, int capacity) { return SSL_read(ssl_, buffer, capacity); }

void ServerConnection::CloseNotify() { SSL_shutdown(ssl_); }

void ServerConnection::Close() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

TlsTestServer::TlsTestServer(const ServerOptions& options) {
  context_ = SSL_CTX_new(TLS_server_method());
  Require(context_ != nullptr, "SSL_CTX_new");
  // Old protocol versions need the lowest security level to be offered at all.
  if (options.minVersion < 0x0303) SSL_CTX_set_security_level(context_, 0);
  if (options.minVersion < 0x0303) SSL_CTX_set_cipher_list(context_, "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_min_proto_version(context_, options.minVersion);
  SSL_CTX_set_max_proto_version(context_, options.maxVersion);
  Require(options.identity != nullptr, "server identity");
  Require(SSL_CTX_use_certificate(context_, options.identity->certificate.get()) == 1, "use certificate");
  Require(SSL_CTX_use_PrivateKey(context_, options.identity->key.get()) == 1, "use key");

  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Require(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
  Require(::listen(listener_, 4) == 0, "listen");
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
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

void TlsTestServer::Start(ServerScript script) {
  thread_ = std::thread([this, script = std::move(script)] {
    // The server writes through plain sockets; a client that left must give EPIPE here,
    // not a signal. Only this thread is shielded, so the viewer's own sends stay exposed.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) return;
    {
      std::lock_guard<std::mutex> lock(activeMutex_);
      active_ = socket;
    }
    {
      ServerConnection connection(socket, context_);
      script(connection);
      // Cleared before the connection closes its socket, so teardown never touches a stale one.
      std::lock_guard<std::mutex> lock(activeMutex_);
      active_ = -1;
    }
    // This thread's OpenSSL error queue dies with it.
    OPENSSL_thread_stop();
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
