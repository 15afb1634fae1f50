// A window state wired to a recording sender and a scripted platform window.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/session_picture.h"
#include "window/window_host.h"
#include "window/window_state.h"

namespace stv {

// Failures show the message as it would travel.
inline void PrintTo(const ControlMessage& message, std::ostream* out) { *out << EncodeControlMessage(message); }

inline void PrintTo(const PictureRect& r, std::ostream* out) {
  *out << "{" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << "}";
}

}  // namespace stv

namespace stv::testing {

class ScriptedHost : public WindowHost {
 public:
  int Dpi() const override { return dpi; }
  void SetTitle(const std::string& title) override { titles.push_back(title); }
  int64_t NowNanos() const override { return now; }

  int dpi = 96;
  int64_t now = 0;
  std::vector<std::string> titles;
};

class WindowFixture : public ::testing::Test {
 protected:
  WindowFixture() {
    state.send = [this](const ControlMessage& message) { sent.push_back(message); };
    state.picture = &picture;
    state.pictureMutex = &pictureMutex;
  }

  SessionPicture picture;
  std::mutex pictureMutex;
  WindowState state;
  ScriptedHost host;
  std::vector<ControlMessage> sent;
};

inline ControlMessage KeyMessage(int32_t virtualKey, bool down) {
  ControlMessage message = MakeControlMessage(ControlKind::Key);
  message.vk = virtualKey;
  message.down = down;
  return message;
}

inline ControlMessage TextMessage(std::string text) {
  ControlMessage message = MakeControlMessage(ControlKind::Text);
  message.s = std::move(text);
  return message;
}

inline std::vector<ControlKind> Kinds(const std::vector<ControlMessage>& messages) {
  std::vector<ControlKind> kinds;
  for (const auto& message : messages) kinds.push_back(static_cast<ControlKind>(message.t));
  return kinds;
}

}  // namespace stv::testing
