// SHA-256 and P-256 ECDSA verification through CNG (bcrypt).
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstring>
#include <memory>

#include "secure/crypto.h"

namespace stv::agent {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// An open algorithm provider, closed on every path.
class Provider {
 public:
  explicit Provider(const wchar_t* algorithm) {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, 0))) handle_ = nullptr;
  }
  ~Provider() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

struct KeyDestroy {
  void operator()(void* key) const { BCryptDestroyKey(key); }
};
using KeyPtr = std::unique_ptr<void, KeyDestroy>;

// The 72-byte public blob CNG imports: magic "ECS1", key size 32, then X and Y.
struct P256PublicBlob {
  BCRYPT_ECCKEY_BLOB header;
  uint8_t xy[2 * 32];
};
static_assert(sizeof(P256PublicBlob) == 72);

}  // namespace

std::optional<Sha256Digest> Sha256(std::span<const uint8_t> data) {
  Provider sha256(BCRYPT_SHA256_ALGORITHM);
  if (!sha256.get()) return std::nullopt;
  Sha256Digest digest{};
  // BCryptHash takes a non-const pointer but only reads the input.
  const NTSTATUS status = BCryptHash(sha256.get(), nullptr, 0, const_cast<uint8_t*>(data.data()),
                                     static_cast<ULONG>(data.size()), digest.data(), static_cast<ULONG>(digest.size()));
  if (!Succeeded(status)) return std::nullopt;
  return digest;
}

bool VerifyP256Signature(std::span<const uint8_t> publicKey, std::span<const uint8_t> signature,
                         const Sha256Digest& digest) {
  if (publicKey.size() != kP256PublicKeySize || publicKey[0] != 0x04) return false;
  if (signature.size() != kP256SignatureSize) return false;
  Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!ecdsa.get()) return false;

  P256PublicBlob blob{};
  blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.header.cbKey = 32;
  std::memcpy(blob.xy, publicKey.data() + 1, sizeof blob.xy);
  BCRYPT_KEY_HANDLE imported = nullptr;
  if (!Succeeded(BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported,
                                     reinterpret_cast<PUCHAR>(&blob), sizeof blob, 0))) {
    return false;
  }
  KeyPtr key(imported);
  // CNG reads both buffers only; its prototype is not const-correct.
  return Succeeded(BCryptVerifySignature(imported, nullptr, const_cast<uint8_t*>(digest.data()),
                                         static_cast<ULONG>(digest.size()), const_cast<uint8_t*>(signature.data()),
                                         static_cast<ULONG>(signature.size()), 0));
}

}  // namespace stv::agent
