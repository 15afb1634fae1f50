// stv-jxr-decode: decodes the JPEG XR tiles the viewer hands it, one after another, until its
// standard input ends. Requests and answers are described in jxr_decoder_process.h.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <new>
#include <vector>

#include "codec/jxr_decoder_process.h"
#include "codec/jxr_image.h"

namespace {

bool ReadAll(int fd, void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got <= 0 && !(got < 0 && errno == EINTR)) return false;
    if (got > 0) {
      bytes += got;
      size -= static_cast<size_t>(got);
    }
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t put = ::write(fd, bytes, size);
    if (put <= 0 && !(put < 0 && errno == EINTR)) return false;
    if (put > 0) {
      bytes += put;
      size -= static_cast<size_t>(put);
    }
  }
  return true;
}

}  // namespace

int main() {
  // A crash here is expected of hostile data, and leaves no core file behind.
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  stv::agent::JxrDecodeRequest request;
  std::vector<uint8_t> image;
  stv::TilePixels out;
  while (ReadAll(STDIN_FILENO, &request, sizeof request)) {
    if (request.imageBytes > stv::agent::kMaxJxrImageBytes) return 1;
    image.resize(request.imageBytes);
    if (!ReadAll(STDIN_FILENO, image.data(), image.size())) return 1;
    bool decoded = false;
    try {
      decoded =
          request.width <= INT_MAX && request.height <= INT_MAX &&
          stv::agent::DecodeJxrTopLeft(image, static_cast<int>(request.width), static_cast<int>(request.height), out);
    } catch (const std::bad_alloc&) {
      decoded = false;
    }
    const uint8_t answer = decoded ? 1 : 0;
    if (!WriteAll(STDOUT_FILENO, &answer, 1) || (decoded && !WriteAll(STDOUT_FILENO, out.data(), out.size()))) {
      return 1;
    }
  }
  return 0;
}
