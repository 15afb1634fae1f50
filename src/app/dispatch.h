// The two message handlers that the transport's reader thread runs for every message.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "protocol/session_picture.h"
#include "transport/tcp_transport.h"

namespace stv {

// What the interactive handler needs; everything is owned by the running session and
// outlives the transport's threads.
struct InteractiveDispatch {
  std::atomic<uint64_t>* receivedBytes = nullptr;  // bytes since the last quality report
  std::mutex* pictureMutex = nullptr;
  SessionPicture* picture = nullptr;
  std::function<void()> requestRepaint;  // asks the window thread to repaint; may be empty
};

// Counts every message, applies video to the picture and asks for a repaint when a tile
// was painted, and prints the clipboard and monitor notices.
agent::MessageHandler MakeInteractiveHandler(InteractiveDispatch dispatch);

struct HeadlessDispatch {
  std::atomic<uint64_t>* receivedBytes = nullptr;  // cumulative, never reset
  std::mutex* pictureMutex = nullptr;
  SessionPicture* picture = nullptr;
  std::atomic<int32_t>* monitorCount = nullptr;
};

// Counts every message, applies video to the picture and remembers the client's monitor count.
agent::MessageHandler MakeHeadlessHandler(HeadlessDispatch dispatch);

}  // namespace stv
