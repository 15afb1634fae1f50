// The state one session window shares with the session that owns it and with the reader
// thread's message handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "protocol/control_message.h"
#include "protocol/quality_preset.h"
#include "protocol/session_picture.h"

namespace stv {

// A rectangle in window client pixels; right and bottom are exclusive.
struct PictureRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  friend bool operator==(const PictureRect&, const PictureRect&) = default;
};

// Where control messages go. The session sends them on the transport; tests collect them.
using ControlSender = std::function<void(const ControlMessage&)>;

struct WindowState {
  ControlSender send;  // empty: messages are dropped without a word
  SessionPicture* picture = nullptr;
  std::mutex* pictureMutex = nullptr;
  // Where the picture was last drawn; all 0 until the first paint with a picture. Written
  // by painting, read by the quality report and the pointer mapping.
  PictureRect pictureRect;
  QualityPreset preset = QualityPreset::High;
  bool gray = false;
  bool viewOnly = false;
  bool clientCursorShown = false;
  // Bytes received since the last quality report. The reader thread only adds; the report
  // takes the value and resets it in one exchange.
  std::atomic<uint64_t> receivedBytes{0};
  int64_t lastReportNanos = 0;  // monotonic clock
  // Whether tiles are waiting to be decoded, asked before each present; empty: never.
  std::function<bool()> decodingBehind;
};

// Nanoseconds of the monotonic clock.
int64_t MonotonicNanos();

// Hands the message to the state's sender, if any. The outcome is never examined: a
// message that cannot go out is as good as lost either way.
void SendControlMessage(const WindowState& state, const ControlMessage& message);

}  // namespace stv
