#include "secure/openssl_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "diag/log.h"

namespace stv::agent {

void OpenSslChannel::ContextFree::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
void OpenSslChannel::SessionFree::operator()(SSL* session) const { SSL_free(session); }

OpenSslChannel::OpenSslChannel(SocketHandle socket, std::chrono::milliseconds idleLimit)
    : socket_(socket), idleLimit_(idleLimit) {}

OpenSslChannel::~OpenSslChannel() = default;

bool OpenSslChannel::CreateSession(std::string& error) {
  ERR_clear_error();
  context_.reset(SSL_CTX_new(TLS_client_method()));
  bool ready = context_ != nullptr && SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION) == 1 &&
               SSL_CTX_set_max_proto_version(context_.get(), TLS1_2_VERSION) == 1;
  if (ready) {
    // Nobody is authenticated by certificate: the device binding does that afterwards.
    SSL_CTX_set_verify(context_.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_options(context_.get(), SSL_OP_NO_RENEGOTIATION);
    session_.reset(SSL_new(context_.get()));
    ready = session_ != nullptr;
  }
  if (ready) {
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (in == nullptr || out == nullptr) {
      BIO_free(in);
      BIO_free(out);
      ready = false;
    } else {
      // An empty BIO means "more bytes later", never the end of the stream.
      BIO_set_mem_eof_return(in, -1);
      BIO_set_mem_eof_return(out, -1);
      SSL_set_bio(session_.get(), in, out);
      networkIn_ = in;
      networkOut_ = out;
      SSL_set_connect_state(session_.get());
      ready = SSL_set_tlsext_host_name(session_.get(), kTlsServerName) == 1;
    }
  }
  if (!ready) {
    error = FormatStatusError("AcquireCredentialsHandle", static_cast<uint32_t>(ERR_peek_last_error()));
    ERR_clear_error();
  }
  return ready;
}

bool OpenSslChannel::Handshake(const std::string& expectedDeviceId, bool insecureNoPin, std::string& error) {
  if (!CreateSession(error)) return false;
  handshaking_ = true;
  bool established = false;
  for (;;) {
    const Step step = AdvanceHandshake(error);
    if (step == Step::kDone) {
      established = true;
      break;
    }
    if (step == Step::kFailed) break;
    if (!ReceiveCiphertext()) {
      error = "the peer closed during the TLS handshake";
      break;
    }
  }
  if (established && !QueryStreamSizes()) {
    error = FormatStatusError("QueryContextAttributes(STREAM_SIZES)", 0);
    established = false;
  }
  // Records that arrived with the last handshake flight are still in the read BIO; the
  // binding reads below open them first.
  if (established) established = VerifyDeviceBinding(*this, expectedDeviceId, insecureNoPin, peerDeviceId_, error);
  handshaking_ = false;
  return established;
}

OpenSslChannel::Step OpenSslChannel::AdvanceHandshake(std::string& error) {
  int result = 0;
  int sslError = SSL_ERROR_NONE;
  unsigned long status = 0;
  size_t pending = 0;
  {
    std::lock_guard<std::mutex> lock(sslMutex_);
    ERR_clear_error();
    result = SSL_do_handshake(session_.get());
    sslError = SSL_get_error(session_.get(), result);
    status = ERR_peek_last_error();
    ERR_clear_error();
    pending = DrainSealed();
  }
  const bool progressing = result == 1 || sslError == SSL_ERROR_WANT_READ;
  // A failed handshake may still have an alert to send; its fate does not change the error.
  if (pending > 0 && !RawSend(socket_, sealed_.data(), pending) && progressing) {
    error = "the peer closed while the TLS handshake was being sent";
    return Step::kFailed;
  }
  if (result == 1) return Step::kDone;
  if (sslError == SSL_ERROR_WANT_READ) return Step::kNeedBytes;
  if (sslError == SSL_ERROR_ZERO_RETURN) {
    error = "the peer closed during the TLS handshake";
    return Step::kFailed;
  }
  // OpenSSL's packed error code names the reason; without one, the SSL error class does.
  const auto code = static_cast<uint32_t>(status != 0 ? status : static_cast<unsigned long>(sslError));
  error = FormatStatusError("InitializeSecurityContext", code);
  return Step::kFailed;
}

bool OpenSslChannel::QueryStreamSizes() {
  std::lock_guard<std::mutex> lock(sslMutex_);
  if (SSL_version(session_.get()) != TLS1_2_VERSION || SSL_get_current_cipher(session_.get()) == nullptr) {
    return false;
  }
  // No maximum fragment length is ever requested, so records carry the full TLS maximum.
  maxMessageSize_ = kMaxRecordPlaintext;
  return true;
}

size_t OpenSslChannel::DrainSealed() {
  const size_t pending = BIO_ctrl_pending(networkOut_);
  if (pending == 0) return 0;
  // Only grows, so a steady stream of records allocates once.
  if (sealed_.size() < pending) sealed_.resize(pending);
  const int read = BIO_read(networkOut_, sealed_.data(), static_cast<int>(pending));
  return read > 0 ? static_cast<size_t>(read) : 0;
}

bool OpenSslChannel::ReceiveCiphertext() {
  if (incoming_.size() < kRawReceiveChunk) incoming_.resize(kRawReceiveChunk);
  const auto start = std::chrono::steady_clock::now();
  while (!interrupted_.load()) {
    size_t received = 0;
    switch (ReceiveSome(socket_, incoming_.data(), incoming_.size(), received)) {
      case ReceiveStatus::kData: {
        std::lock_guard<std::mutex> lock(sslMutex_);
        bufferedCiphertext_ += received;
        // A memory BIO grows as needed; a short write means memory ran out.
        return BIO_write(networkIn_, incoming_.data(), static_cast<int>(received)) == static_cast<int>(received);
      }
      case ReceiveStatus::kTimedOut:
        // Nothing interrupts the connecting thread, so a silent server is given up on here.
        if (handshaking_ && std::chrono::steady_clock::now() - start >= idleLimit_) return false;
        continue;
      case ReceiveStatus::kClosed:
      case ReceiveStatus::kError:
        return false;
    }
  }
  return false;
}

std::optional<size_t> OpenSslChannel::OpenRecord(uint8_t* target, size_t capacity) {
  for (;;) {
    int result = 0;
    int sslError = SSL_ERROR_NONE;
    {
      std::lock_guard<std::mutex> lock(sslMutex_);
      ERR_clear_error();
      // One call opens at most one record; records without application data (a refused
      // renegotiation, warning alerts) are consumed inside it and never show up here.
      result = SSL_read(session_.get(), target, static_cast<int>(std::min(capacity, kMaxRecordPlaintext)));
      sslError = SSL_get_error(session_.get(), result);
      if (result > 0) bufferedCiphertext_ = BIO_ctrl_pending(networkIn_);
      ERR_clear_error();
    }
    if (result > 0) return static_cast<size_t>(result);
    // The close notification, a fatal alert or a record that does not open.
    if (sslError != SSL_ERROR_WANT_READ) return std::nullopt;
    // A peer whose bytes never complete a record must not grow this buffer forever.
    if (bufferedCiphertext_ > kMaxBufferedCiphertext) return std::nullopt;
    if (!ReceiveCiphertext()) return std::nullopt;
  }
}

bool OpenSslChannel::Send(const uint8_t* data, size_t size) {
  if (maxMessageSize_ == 0) {
    Logger::Instance().Warn("[tls] the stream sizes are unset; refusing to send");
    return false;
  }
  for (size_t offset = 0; offset < size;) {
    const size_t chunk = std::min(size - offset, maxMessageSize_);
    size_t sealedSize = 0;
    {
      std::lock_guard<std::mutex> lock(sslMutex_);
      ERR_clear_error();
      const int written = SSL_write(session_.get(), data + offset, static_cast<int>(chunk));
      ERR_clear_error();
      if (written != static_cast<int>(chunk)) return false;
      // Also carries anything the reader's SSL_read queued (an alert), in sealing order.
      sealedSize = DrainSealed();
    }
    // Outside the lock: a peer that reads slowly must not stall the reader.
    if (!RawSend(socket_, sealed_.data(), sealedSize)) return false;
    offset += chunk;
  }
  return true;
}

bool OpenSslChannel::ReceiveExact(uint8_t* buffer, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    if (decryptedBegin_ == decryptedEnd_) {
      // Where a whole record fits, it opens straight into the caller's buffer: video
      // arrives in full records, and this spares a copy of every byte of it.
      const bool direct = size - filled >= kMaxRecordPlaintext;
      if (decrypted_.size() < kMaxRecordPlaintext) decrypted_.resize(kMaxRecordPlaintext);
      const auto opened = direct ? OpenRecord(buffer + filled, size - filled)
                                 : OpenRecord(decrypted_.data(), decrypted_.size());
      if (!opened) return false;
      if (direct) {
        filled += *opened;
      } else {
        decryptedBegin_ = 0;
        decryptedEnd_ = *opened;
      }
      continue;
    }
    const size_t count = std::min(decryptedEnd_ - decryptedBegin_, size - filled);
    std::memcpy(buffer + filled, decrypted_.data() + decryptedBegin_, count);
    decryptedBegin_ += count;
    filled += count;
  }
  return true;
}

void OpenSslChannel::Shutdown() {
  if (!session_) return;
  size_t pending = 0;
  {
    std::lock_guard<std::mutex> lock(sslMutex_);
    ERR_clear_error();
    if (SSL_is_init_finished(session_.get())) SSL_shutdown(session_.get());
    ERR_clear_error();
    pending = DrainSealed();
  }
  // The transport has usually shut the socket down already; a failed send is expected.
  if (pending > 0) RawSend(socket_, sealed_.data(), pending);
}

std::optional<std::vector<uint8_t>> OpenSslChannel::PeerCertificate() {
  std::lock_guard<std::mutex> lock(sslMutex_);
  X509* certificate = SSL_get1_peer_certificate(session_.get());
  if (certificate == nullptr) return std::nullopt;
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  X509_free(certificate);
  if (length <= 0) {
    ERR_clear_error();
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

std::unique_ptr<SecureChannel> EstablishTlsChannel(SocketHandle socket, const std::string& expectedDeviceId,
                                                   bool insecureNoPin, std::string& error) {
  auto channel = std::make_unique<OpenSslChannel>(socket);
  if (!channel->Handshake(expectedDeviceId, insecureNoPin, error)) return nullptr;
  return channel;
}

}  // namespace stv::agent
