#include "secure/openssl_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "diag/log.h"

namespace stv::agent {

namespace {

// The ciphertext queue's read BIO: hands OpenSSL the bytes received so far, and when there
// are none asks it to retry, which it reports as "want read", never as the stream's end.
int QueueRead(BIO* bio, char* out, int size) {
  auto* queue = static_cast<CiphertextQueue*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const size_t available = queue->end - queue->begin;
  if (available == 0 || size <= 0) {
    BIO_set_retry_read(bio);
    return -1;
  }
  const size_t count = std::min(available, static_cast<size_t>(size));
  std::memcpy(out, queue->bytes.data() + queue->begin, count);
  queue->begin += count;
  return static_cast<int>(count);
}

long QueueControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
  const auto* queue = static_cast<const CiphertextQueue*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_PENDING: return static_cast<long>(queue->end - queue->begin);
    case BIO_CTRL_FLUSH: return 1;
    default: return 0;
  }
}

int QueueCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made on first use and kept for the process's life, as OpenSSL's own methods are.
const BIO_METHOD* CiphertextQueueMethod() {
  static BIO_METHOD* const method = []() -> BIO_METHOD* {
    const int index = BIO_get_new_index();
    if (index == -1) return nullptr;
    BIO_METHOD* made = BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "stv ciphertext queue");
    if (made != nullptr && BIO_meth_set_read(made, QueueRead) == 1 && BIO_meth_set_ctrl(made, QueueControl) == 1 &&
        BIO_meth_set_create(made, QueueCreate) == 1) {
      return made;
    }
    BIO_meth_free(made);
    return nullptr;
  }();
  return method;
}

// Room for one receive at the end of the queue. OpenSSL drains the queue before it asks for
// more, so this normally starts over at the front; unread bytes, if any, move there first.
uint8_t* RoomForReceive(CiphertextQueue& queue) {
  if (queue.bytes.size() - queue.end < kRawReceiveChunk) {
    const size_t unread = queue.end - queue.begin;
    if (unread > 0) std::memmove(queue.bytes.data(), queue.bytes.data() + queue.begin, unread);
    queue.begin = 0;
    queue.end = unread;
    if (queue.bytes.size() - queue.end < kRawReceiveChunk) queue.bytes.resize(queue.end + kRawReceiveChunk);
  }
  return queue.bytes.data() + queue.end;
}

}  // namespace

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
    const BIO_METHOD* queueMethod = CiphertextQueueMethod();
    BIO* in = queueMethod != nullptr ? BIO_new(queueMethod) : nullptr;
    BIO* out = BIO_new(BIO_s_mem());
    if (in == nullptr || out == nullptr) {
      BIO_free(in);
      BIO_free(out);
      ready = false;
    } else {
      BIO_set_data(in, &ciphertext_);
      // An empty BIO means "more bytes later", never the end of the stream.
      BIO_set_mem_eof_return(out, -1);
      SSL_set_bio(session_.get(), in, out);
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
  uint8_t* room = nullptr;
  {
    std::lock_guard<std::mutex> lock(sslMutex_);
    room = RoomForReceive(ciphertext_);
  }
  // Only this thread adds to the queue, and OpenSSL reads only the queued part, so the
  // receive fills the room outside the lock. Nothing interrupts the connecting thread, so a
  // silent server is given up on after the idle limit.
  size_t received = 0;
  if (!ReceiveWaiting(socket_, room, kRawReceiveChunk, interrupted_,
                      handshaking_ ? idleLimit_ : std::chrono::milliseconds(0), received)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(sslMutex_);
  ciphertext_.end += received;
  bufferedCiphertext_ += received;
  return true;
}

std::optional<size_t> OpenSslChannel::OpenRecord(uint8_t* target, size_t capacity) {
  for (;;) {
    int result = 0;
    int sslError = SSL_ERROR_NONE;
    {
      std::lock_guard<std::mutex> lock(sslMutex_);
      ERR_clear_error();
      // One call opens at most one record, or hands out the rest of one opened before;
      // records without application data (a refused renegotiation, warning alerts) are
      // consumed inside it and never show up here.
      result = SSL_read(session_.get(), target, static_cast<int>(std::min(capacity, kMaxRecordPlaintext)));
      if (result > 0) {
        bufferedCiphertext_ = ciphertext_.end - ciphertext_.begin;
      } else {
        sslError = SSL_get_error(session_.get(), result);
        ERR_clear_error();
      }
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
  // OpenSSL keeps what a read leaves of an opened record for the next read, so every read
  // goes straight into the caller's buffer: a frame's header and payload come out of one
  // record with no copy of ours in between.
  for (size_t filled = 0; filled < size;) {
    const auto opened = OpenRecord(buffer + filled, size - filled);
    if (!opened) return false;
    filled += *opened;
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
