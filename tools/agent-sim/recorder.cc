#include "recorder.h"

#include <cerrno>
#include <cstring>

namespace stv::sim {

std::unique_ptr<Recorder> Recorder::Open(const std::string& path, std::chrono::steady_clock::time_point origin,
                                         std::string& error) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    error = "cannot write the record " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<Recorder>(new Recorder(file, origin));
}

Recorder::~Recorder() { std::fclose(file_); }

std::string Recorder::FormatLine(int64_t recvMs, const ControlMessage& message) {
  return "{\"recvMs\":" + std::to_string(recvMs) + ",\"message\":" + EncodeControlMessage(message) + "}";
}

void Recorder::Record(const ControlMessage& message) {
  const int64_t recvMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - origin_).count();
  const std::string line = FormatLine(recvMs, message) + "\n";
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace stv::sim
