// The record of what the viewer sent: one JSON line per control message,
// {"recvMs":<ms since the agent started>,"message":<the message re-encoded>}, flushed at once.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "protocol/control_message.h"

namespace stv::sim {

class Recorder {
 public:
  // Truncates or creates `path`. Null with `error` set on failure.
  static std::unique_ptr<Recorder> Open(const std::string& path, std::chrono::steady_clock::time_point origin,
                                        std::string& error);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  void Record(const ControlMessage& message);

  // The line for one message received `recvMs` after the origin, without the newline.
  static std::string FormatLine(int64_t recvMs, const ControlMessage& message);

 private:
  Recorder(FILE* file, std::chrono::steady_clock::time_point origin) : file_(file), origin_(origin) {}
  FILE* file_;
  std::chrono::steady_clock::time_point origin_;
};

}  // namespace stv::sim
