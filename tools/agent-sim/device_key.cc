#include "device_key.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "secure/device_binding.h"

namespace stv::sim {
namespace {

EVP_PKEY* AsKey(void* key) { return static_cast<EVP_PKEY*>(key); }

bool IsP256(EVP_PKEY* key) {
  char group[64] = {};
  size_t length = 0;
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

// mkdir -p for the folders above `path`.
void MakeParentFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

bool WriteKey(EVP_PKEY* key, const std::string& path, std::string& error) {
  MakeParentFolders(path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create the device key " + path + ": " + std::strerror(errno);
    return false;
  }
  FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    ::close(fd);
    error = "cannot write the device key " + path;
    return false;
  }
  const bool written = PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) error = "cannot write the device key " + path;
  return written && closed;
}

}  // namespace

DeviceKey::DeviceKey(void* key) : key_(key) {
  uint8_t point[128] = {};
  size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(AsKey(key_), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point, &length) ==
      1) {
    publicPoint_.assign(point, point + length);
  }
}

DeviceKey::~DeviceKey() { EVP_PKEY_free(AsKey(key_)); }

std::unique_ptr<DeviceKey> DeviceKey::Generate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) return nullptr;
  // Uncompressed points: what the binding carries.
  EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
  return std::unique_ptr<DeviceKey>(new DeviceKey(key));
}

std::unique_ptr<DeviceKey> DeviceKey::LoadOrCreate(const std::string& path, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    if (errno != ENOENT) {
      error = "cannot read the device key " + path + ": " + std::strerror(errno);
      return nullptr;
    }
    std::unique_ptr<DeviceKey> fresh = Generate();
    if (!fresh) {
      error = "cannot generate a P-256 key";
      return nullptr;
    }
    if (!WriteKey(AsKey(fresh->key_), path, error)) return nullptr;
    return fresh;
  }
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (key == nullptr || !IsP256(key)) {
    EVP_PKEY_free(key);
    error = "the device key " + path + " is not a P-256 private key in PEM form";
    return nullptr;
  }
  EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
  return std::unique_ptr<DeviceKey>(new DeviceKey(key));
}

std::optional<std::vector<uint8_t>> DeviceKey::SignDer(const Sha256Digest& digest) const {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(AsKey(key_), nullptr);
  std::optional<std::vector<uint8_t>> result;
  size_t length = 0;
  if (context != nullptr && EVP_PKEY_sign_init(context) == 1 &&
      EVP_PKEY_sign(context, nullptr, &length, digest.data(), digest.size()) == 1) {
    std::vector<uint8_t> signature(length);
    if (EVP_PKEY_sign(context, signature.data(), &length, digest.data(), digest.size()) == 1) {
      signature.resize(length);
      result = std::move(signature);
    }
  }
  EVP_PKEY_CTX_free(context);
  return result;
}

std::optional<std::vector<uint8_t>> DeviceKey::SignRaw(const Sha256Digest& digest) const {
  const std::optional<std::vector<uint8_t>> der = SignDer(digest);
  if (!der) return std::nullopt;
  return RawSignatureFromDer(*der);
}

std::optional<std::vector<uint8_t>> RawSignatureFromDer(std::span<const uint8_t> der) {
  const unsigned char* cursor = der.data();
  ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size()));
  if (signature == nullptr) return std::nullopt;
  std::vector<uint8_t> raw(agent::kP256SignatureSize);
  const bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(signature), raw.data(), 32) == 32 &&
                  BN_bn2binpad(ECDSA_SIG_get0_s(signature), raw.data() + 32, 32) == 32;
  ECDSA_SIG_free(signature);
  if (!ok) return std::nullopt;
  return raw;
}

std::string DeviceIdOf(std::span<const uint8_t> publicPoint) { return agent::ComputeDeviceId(publicPoint); }

std::string DefaultKeyPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr && home[0] != '\0' ? home : ".") + "/.config";
  }
  return base + "/stv-agent-sim/device-key.pem";
}

}  // namespace stv::sim
