// SHA-256 and P-256 ECDSA verification through OpenSSL's libcrypto.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>
#include <vector>

#include "secure/crypto.h"

namespace stv::agent {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct SignatureFree {
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
};
struct BytesFree {
  void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree>;

// Imports the point; OpenSSL rejects points that are not on the curve.
PkeyPtr ImportP256PublicKey(std::span<const uint8_t> publicKey) {
  PkeyContextPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) return nullptr;
  char group[] = "prime256v1";
  // OSSL_PARAM wants mutable pointers but only reads through them here.
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<uint8_t*>(publicKey.data()),
                                        publicKey.size()),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) return nullptr;
  return PkeyPtr(key);
}

// OpenSSL verifies DER signatures only, so the raw halves are re-encoded.
std::optional<std::vector<uint8_t>> RawSignatureToDer(std::span<const uint8_t> signature) {
  const size_t half = signature.size() / 2;
  std::unique_ptr<ECDSA_SIG, SignatureFree> parsed(ECDSA_SIG_new());
  if (!parsed) return std::nullopt;
  BIGNUM* r = BN_bin2bn(signature.data(), static_cast<int>(half), nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr);
  if (r == nullptr || s == nullptr || ECDSA_SIG_set0(parsed.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return std::nullopt;
  }
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(parsed.get(), &der);
  if (length <= 0) return std::nullopt;
  std::unique_ptr<unsigned char, BytesFree> owned(der);
  return std::vector<uint8_t>(der, der + length);
}

bool VerifyWithLibcrypto(std::span<const uint8_t> publicKey, std::span<const uint8_t> signature,
                         const Sha256Digest& digest) {
  if (publicKey.size() != kP256PublicKeySize || publicKey[0] != 0x04) return false;
  if (signature.size() != kP256SignatureSize) return false;
  PkeyPtr key = ImportP256PublicKey(publicKey);
  if (!key) return false;
  const auto der = RawSignatureToDer(signature);
  if (!der) return false;
  PkeyContextPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1) return false;
  // No digest is set on the context, so the 32 bytes are verified as the digest itself.
  return EVP_PKEY_verify(context.get(), der->data(), der->size(), digest.data(), digest.size()) == 1;
}

}  // namespace

std::optional<Sha256Digest> Sha256(std::span<const uint8_t> data) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    ERR_clear_error();
    return std::nullopt;
  }
  return digest;
}

bool VerifyP256Signature(std::span<const uint8_t> publicKey, std::span<const uint8_t> signature,
                         const Sha256Digest& digest) {
  const bool valid = VerifyWithLibcrypto(publicKey, signature, digest);
  // A rejected key or signature leaves reasons on this thread's error queue; they must
  // not be mistaken later for the cause of an unrelated TLS failure.
  ERR_clear_error();
  return valid;
}

}  // namespace stv::agent
