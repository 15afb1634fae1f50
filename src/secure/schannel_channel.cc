#include "secure/schannel_channel.h"

#include <schannel.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "diag/log.h"

namespace stv::agent {
namespace {

constexpr char kPeerClosed[] = "the peer closed during the TLS handshake";
constexpr char kSendClosed[] = "the peer closed while the TLS handshake was being sent";

// No certificate is checked by Schannel and none is presented: the device binding
// authenticates the server, and the client has no certificate of its own.
constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
constexpr ULONG kHandshakeRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
constexpr ULONG kShutdownRequirements = ISC_REQ_STREAM | ISC_REQ_ALLOCATE_MEMORY;

// SSPI takes its names as mutable strings but never writes to them.
SEC_WCHAR* PackageName() { return const_cast<SEC_WCHAR*>(UNISP_NAME_W); }
SEC_WCHAR* ServerName() {
  static std::wstring name(std::begin(kTlsServerName), std::end(kTlsServerName) - 1);  // ASCII
  return name.data();
}

struct ContextBufferFree {
  void operator()(void* buffer) const { FreeContextBuffer(buffer); }
};
// A token the provider allocated (ISC_REQ_ALLOCATE_MEMORY).
using ContextBuffer = std::unique_ptr<void, ContextBufferFree>;

struct CertificateFree {
  void operator()(const CERT_CONTEXT* certificate) const { CertFreeCertificateContext(certificate); }
};

SecBuffer MakeBuffer(unsigned long type, void* data = nullptr, size_t size = 0) {
  return SecBuffer{static_cast<unsigned long>(size), type, data};
}

template <size_t N>
SecBufferDesc BufferSet(SecBuffer (&buffers)[N]) {
  return SecBufferDesc{SECBUFFER_VERSION, N, buffers};
}

// Drops the consumed front of `bytes`, keeping its last `kept` bytes.
void KeepTail(std::vector<uint8_t>& bytes, size_t kept) {
  bytes.erase(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(std::min(kept, bytes.size())));
}

}  // namespace

SECURITY_STATUS SchannelChannel::ReleaseCredentials(SecHandle* handle) { return FreeCredentialsHandle(handle); }
SECURITY_STATUS SchannelChannel::ReleaseContext(SecHandle* handle) { return DeleteSecurityContext(handle); }

bool SchannelChannel::Handshake(const std::string& expectedDeviceId, bool insecureNoPin, std::string& error) {
  handshaking_ = true;
  // Records that arrived with the last handshake flight stay in `incoming_`; the binding
  // reads open them first.
  const bool established = AcquireCredentials(error) && NegotiateContext(error) && QueryStreamSizes(error) &&
                           VerifyDeviceBinding(*this, expectedDeviceId, insecureNoPin, peerDeviceId_, error);
  handshaking_ = false;
  return established;
}

bool SchannelChannel::AcquireCredentials(std::string& error) {
  SCHANNEL_CRED description{};
  description.dwVersion = SCHANNEL_CRED_VERSION;
  description.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  description.dwFlags = kCredentialFlags;
  const SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, PackageName(), SECPKG_CRED_OUTBOUND, nullptr, &description, nullptr, nullptr,
                                &credentials_.handle, nullptr);
  if (FAILED(status)) {
    error = FormatStatusError("AcquireCredentialsHandle", static_cast<uint32_t>(status));
    return false;
  }
  credentials_.held = true;
  return true;
}

bool SchannelChannel::NegotiateContext(std::string& error) {
  for (bool firstPass = true;; firstPass = false) {
    if (!firstPass && incoming_.empty() && !ReceiveCiphertext()) {
      error = kPeerClosed;
      return false;
    }
    SecBuffer inBuffers[] = {MakeBuffer(SECBUFFER_TOKEN, incoming_.data(), incoming_.size()),
                             MakeBuffer(SECBUFFER_EMPTY)};
    SecBuffer outBuffers[] = {MakeBuffer(SECBUFFER_TOKEN)};
    SecBufferDesc input = BufferSet(inBuffers);
    SecBufferDesc output = BufferSet(outBuffers);
    ULONG attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        credentials_.get(), context_.get(), ServerName(), kHandshakeRequirements, 0, 0, firstPass ? nullptr : &input, 0,
        context_.held ? nullptr : &context_.handle, &output, &attributes, nullptr);
    const ContextBuffer token(outBuffers[0].pvBuffer);
    // Every success status leaves a context behind, also one that asks for another pass.
    if (!FAILED(status)) context_.held = true;
    // A failed step may still hand out an alert; its fate does not change the error.
    if (token && outBuffers[0].cbBuffer > 0 &&
        !RawSend(socket_, static_cast<const uint8_t*>(token.get()), outBuffers[0].cbBuffer) && !FAILED(status)) {
      error = kSendClosed;
      return false;
    }
    if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0) {
      KeepTail(incoming_, inBuffers[1].cbBuffer);
    } else if (status != SEC_E_INCOMPLETE_MESSAGE) {
      incoming_.clear();
    }
    if (status == SEC_E_OK) return true;
    // The server's flight is cut short: keep what came and wait for the rest.
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (!ReceiveCiphertext()) {
        error = kPeerClosed;
        return false;
      }
      continue;
    }
    if (FAILED(status)) {
      error = FormatStatusError("InitializeSecurityContext", static_cast<uint32_t>(status));
      return false;
    }
  }
}

bool SchannelChannel::QueryStreamSizes(std::string& error) {
  SecPkgContext_StreamSizes sizes{};
  const SECURITY_STATUS status = QueryContextAttributesW(context_.get(), SECPKG_ATTR_STREAM_SIZES, &sizes);
  if (FAILED(status) || sizes.cbMaximumMessage == 0) {
    error =
        FormatStatusError("QueryContextAttributes(STREAM_SIZES)", static_cast<uint32_t>(FAILED(status) ? status : 0));
    return false;
  }
  streamSizes_ = sizes;
  return true;
}

bool SchannelChannel::ReceiveCiphertext() {
  const size_t held = incoming_.size();
  incoming_.resize(held + kRawReceiveChunk);
  size_t count = 0;
  // Nothing interrupts the connecting thread, so a silent server is given up on here.
  const bool received = ReceiveWaiting(socket_, incoming_.data() + held, kRawReceiveChunk, interrupted_,
                                       handshaking_ ? idleLimit_ : std::chrono::milliseconds(0), count);
  incoming_.resize(held + (received ? count : 0));
  return received;
}

bool SchannelChannel::ReceiveRecord() {
  for (;;) {
    if (!incoming_.empty()) {
      SecBuffer buffers[] = {MakeBuffer(SECBUFFER_DATA, incoming_.data(), incoming_.size()),
                             MakeBuffer(SECBUFFER_EMPTY), MakeBuffer(SECBUFFER_EMPTY), MakeBuffer(SECBUFFER_EMPTY)};
      SecBufferDesc description = BufferSet(buffers);
      const SECURITY_STATUS status = DecryptMessage(context_.get(), &description, 0, nullptr);
      if (status == SEC_E_OK) {
        // The plaintext lies inside `incoming_`: copy it out before the record is dropped.
        size_t extra = 0;
        for (const SecBuffer& buffer : buffers) {
          const auto* bytes = static_cast<const uint8_t*>(buffer.pvBuffer);
          if (bytes == nullptr) continue;
          if (buffer.BufferType == SECBUFFER_DATA) decrypted_.insert(decrypted_.end(), bytes, bytes + buffer.cbBuffer);
          if (buffer.BufferType == SECBUFFER_EXTRA) extra = buffer.cbBuffer;
        }
        KeepTail(incoming_, extra);
        if (decrypted_.size() > decryptedBegin_) return true;
        continue;  // a record without application data
      }
      // The close notification, a renegotiation request or a record that does not open.
      if (status != SEC_E_INCOMPLETE_MESSAGE) return false;
    }
    // A peer whose bytes never complete a record must not grow this buffer forever.
    if (incoming_.size() > kMaxBufferedCiphertext) return false;
    if (!ReceiveCiphertext()) return false;
  }
}

bool SchannelChannel::ReceiveExact(uint8_t* buffer, size_t size) {
  for (size_t filled = 0; filled < size;) {
    if (decrypted_.size() == decryptedBegin_) {
      decrypted_.clear();
      decryptedBegin_ = 0;
      if (!ReceiveRecord()) return false;
    }
    const size_t count = std::min(decrypted_.size() - decryptedBegin_, size - filled);
    std::memcpy(buffer + filled, decrypted_.data() + decryptedBegin_, count);
    decryptedBegin_ += count;
    filled += count;
  }
  return true;
}

bool SchannelChannel::Send(const uint8_t* data, size_t size) {
  const SecPkgContext_StreamSizes& sizes = streamSizes_;
  if (sizes.cbMaximumMessage == 0) {
    Logger::Instance().Warn("[tls] the stream sizes are unset; refusing to send");
    return false;
  }
  for (size_t offset = 0; offset < size;) {
    const size_t chunk = std::min<size_t>(size - offset, sizes.cbMaximumMessage);
    record_.assign(sizes.cbHeader + chunk + sizes.cbTrailer, 0);
    std::memcpy(record_.data() + sizes.cbHeader, data + offset, chunk);
    SecBuffer buffers[] = {
        MakeBuffer(SECBUFFER_STREAM_HEADER, record_.data(), sizes.cbHeader),
        MakeBuffer(SECBUFFER_DATA, record_.data() + sizes.cbHeader, chunk),
        MakeBuffer(SECBUFFER_STREAM_TRAILER, record_.data() + sizes.cbHeader + chunk, sizes.cbTrailer),
        MakeBuffer(SECBUFFER_EMPTY)};
    SecBufferDesc description = BufferSet(buffers);
    if (FAILED(EncryptMessage(context_.get(), 0, &description, 0))) return false;
    // The provider may shorten the trailer; the three pieces stay contiguous.
    const size_t sealed = size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
    if (!RawSend(socket_, record_.data(), sealed)) return false;
    offset += chunk;
  }
  return true;
}

void SchannelChannel::Shutdown() {
  if (!context_.held) return;
  DWORD shutdownToken = SCHANNEL_SHUTDOWN;
  SecBuffer control[] = {MakeBuffer(SECBUFFER_TOKEN, &shutdownToken, sizeof shutdownToken)};
  SecBufferDesc controlDescription = BufferSet(control);
  if (FAILED(ApplyControlToken(context_.get(), &controlDescription))) return;
  SecBuffer outBuffers[] = {MakeBuffer(SECBUFFER_EMPTY)};
  SecBufferDesc output = BufferSet(outBuffers);
  ULONG attributes = 0;
  const SECURITY_STATUS status =
      InitializeSecurityContextW(credentials_.get(), context_.get(), nullptr, kShutdownRequirements, 0, 0, nullptr, 0,
                                 nullptr, &output, &attributes, nullptr);
  const ContextBuffer token(outBuffers[0].pvBuffer);
  // The transport has usually shut the socket down already; a failed send is expected.
  if (!FAILED(status) && token) RawSend(socket_, static_cast<const uint8_t*>(token.get()), outBuffers[0].cbBuffer);
}

std::optional<std::vector<uint8_t>> SchannelChannel::PeerCertificate() {
  const CERT_CONTEXT* raw = nullptr;
  if (FAILED(QueryContextAttributesW(context_.get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw)) || raw == nullptr) {
    return std::nullopt;
  }
  const std::unique_ptr<const CERT_CONTEXT, CertificateFree> certificate(raw);
  return std::vector<uint8_t>(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
}

std::unique_ptr<SecureChannel> EstablishTlsChannel(SocketHandle socket, const std::string& expectedDeviceId,
                                                   bool insecureNoPin, std::string& error) {
  auto channel = std::make_unique<SchannelChannel>(socket);
  if (!channel->Handshake(expectedDeviceId, insecureNoPin, error)) return nullptr;
  return channel;
}

}  // namespace stv::agent
