#include "tls_server.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <mutex>

namespace stv::sim {
namespace {

constexpr int kWaitSliceMs = 100;
constexpr int kMaxRecordPlaintext = 16384;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string OpenSslError(const char* what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return std::string(what) + (code != 0 ? std::string(": ") + text : std::string());
}

// Socket writes with MSG_NOSIGNAL: a viewer that hangs up must end the write, not the
// process that hosts the agent (tests run it in-process, without ignoring SIGPIPE).
int WriteWithoutSignal(BIO* bio, const char* data, int size) {
  int fd = -1;
  BIO_get_fd(bio, &fd);
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

// The plain socket BIO with the write above; made once and kept for the process.
const BIO_METHOD* SocketMethodWithoutSignal() {
  static BIO_METHOD* method = [] {
    const BIO_METHOD* base = BIO_s_socket();
    BIO_METHOD* m =
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket without SIGPIPE");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, WriteWithoutSignal);
    BIO_meth_set_read(m, BIO_meth_get_read(base));
    BIO_meth_set_puts(m, BIO_meth_get_puts(base));
    BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base));
    BIO_meth_set_create(m, BIO_meth_get_create(base));
    BIO_meth_set_destroy(m, BIO_meth_get_destroy(base));
    return m;
  }();
  return method;
}

struct Certificate {
  EVP_PKEY* key = nullptr;
  X509* x509 = nullptr;
  ~Certificate() {
    X509_free(x509);
    EVP_PKEY_free(key);
  }
};

bool MakeSelfSigned(Certificate& certificate) {
  certificate.key = EVP_EC_gen("P-256");
  certificate.x509 = X509_new();
  if (certificate.key == nullptr || certificate.x509 == nullptr) return false;
  X509* x = certificate.x509;
  uint8_t serial[8] = {};
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serialSet = number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x)) != nullptr;
  BN_free(number);
  X509_NAME* name = X509_get_subject_name(x);
  return serialSet && X509_set_version(x, 2) == 1 && X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 3600) != nullptr &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("stv-agent-sim"),
                                    -1, -1, 0) == 1 &&
         X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, certificate.key) == 1 &&
         X509_sign(x, certificate.key, EVP_sha256()) > 0;
}

std::vector<uint8_t> DerOf(X509* x509) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(x509, &der);
  std::vector<uint8_t> out;
  if (length > 0) out.assign(der, der + length);
  OPENSSL_free(der);
  return out;
}

// One SSL object over a non-blocking socket. Reader and writer threads take turns on the SSL
// object under the mutex but wait for the socket outside it, so a read that waits for the
// viewer never holds up a write. TLS 1.2 without renegotiation means a read never has to
// write and a write never has to read.
class TlsConnection final : public Connection {
 public:
  TlsConnection(Socket socket, SSL* ssl) : socket_(std::move(socket)), ssl_(ssl) {}
  ~TlsConnection() override { SSL_free(ssl_); }

  bool Send(std::span<const uint8_t> data, const StopFlag& stop) override {
    size_t sent = 0;
    int64_t lastProgress = NowMs();
    while (sent < data.size()) {
      if (stop.raised()) return false;
      // The same length again after a retry, as OpenSSL expects.
      const int chunk = static_cast<int>(std::min<size_t>(data.size() - sent, kMaxRecordPlaintext));
      int n = 0;
      int error = SSL_ERROR_NONE;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        n = SSL_write(ssl_, data.data() + sent, chunk);
        if (n <= 0) error = SSL_get_error(ssl_, n);
      }
      if (n > 0) {
        sent += static_cast<size_t>(n);
        lastProgress = NowMs();
      } else if (error == SSL_ERROR_WANT_WRITE) {
        if (NowMs() - lastProgress > kSendStallMs) return false;
        WaitWritable(socket_.fd(), kWaitSliceMs);
      } else {
        ERR_clear_error();
        return false;
      }
    }
    return true;
  }

  IoStatus Receive(uint8_t* buffer, size_t capacity, int timeoutMs, size_t& received) override {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
      int n = 0;
      int error = SSL_ERROR_NONE;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        n = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(capacity, 1 << 30)));
        if (n <= 0) error = SSL_get_error(ssl_, n);
      }
      if (n > 0) {
        received = static_cast<size_t>(n);
        return IoStatus::kData;
      }
      if (error == SSL_ERROR_ZERO_RETURN) return IoStatus::kClosed;
      if (error != SSL_ERROR_WANT_READ) {
        ERR_clear_error();
        return error == SSL_ERROR_SYSCALL ? IoStatus::kClosed : IoStatus::kError;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0 || !WaitReadable(socket_.fd(), static_cast<int>(left))) return IoStatus::kTimedOut;
    }
  }

  void Close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }

  int fd() const override { return socket_.fd(); }

 private:
  Socket socket_;
  SSL* ssl_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<TlsServer> TlsServer::Create(std::string& error, TlsVersions versions) {
  Certificate certificate;
  if (!MakeSelfSigned(certificate)) {
    error = OpenSslError("cannot make a self-signed certificate");
    return nullptr;
  }
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  // Protocols older than TLS 1.2 are offered only at the lowest security level.
  if (context != nullptr && versions.min < TLS1_2_VERSION) SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
  if (context == nullptr || SSL_CTX_set_min_proto_version(context, versions.min) != 1 ||
      SSL_CTX_set_max_proto_version(context, versions.max) != 1 ||
      SSL_CTX_use_certificate(context, certificate.x509) != 1 ||
      SSL_CTX_use_PrivateKey(context, certificate.key) != 1) {
    SSL_CTX_free(context);
    error = OpenSslError("cannot set up the TLS server");
    return nullptr;
  }
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return std::unique_ptr<TlsServer>(new TlsServer(context, DerOf(certificate.x509)));
}

TlsServer::~TlsServer() { SSL_CTX_free(context_); }

std::unique_ptr<Connection> TlsServer::Accept(Socket socket, const StopFlag& stop, int timeoutMs, std::string& error) {
  SSL* ssl = SSL_new(context_);
  const BIO_METHOD* method = SocketMethodWithoutSignal();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (ssl == nullptr || bio == nullptr) {
    BIO_free(bio);
    SSL_free(ssl);
    error = OpenSslError("cannot start TLS");
    return nullptr;
  }
  BIO_set_fd(bio, socket.fd(), BIO_NOCLOSE);
  SSL_set_bio(ssl, bio, bio);
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    const int result = SSL_accept(ssl);
    if (result == 1) return std::make_unique<TlsConnection>(std::move(socket), ssl);
    const int reason = SSL_get_error(ssl, result);
    if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
      error = OpenSslError("TLS handshake failed");
      SSL_free(ssl);
      return nullptr;
    }
    if (stop.raised() || NowMs() >= deadline) {
      error = "TLS handshake did not complete in time";
      SSL_free(ssl);
      return nullptr;
    }
    if (reason == SSL_ERROR_WANT_READ) {
      WaitReadable(socket.fd(), kWaitSliceMs);
    } else {
      WaitWritable(socket.fd(), kWaitSliceMs);
    }
  }
}

std::vector<uint8_t> MakeUnrelatedCertificateDer() {
  Certificate certificate;
  if (!MakeSelfSigned(certificate)) return {};
  return DerOf(certificate.x509);
}

}  // namespace stv::sim
