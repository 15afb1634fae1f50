// The two message handlers that the transport's reader thread runs for every message.
#pragma once

#include <atomic>
#include <cstdint>

#include "protocol/tile_decode_pool.h"
#include "transport/tcp_transport.h"

namespace stv {

// What the interactive handler needs; everything is owned by the running session and
// outlives the transport's threads.
struct InteractiveDispatch {
  std::atomic<uint64_t>* receivedBytes = nullptr;  // bytes since the last quality report
  TileDecodePool* video = nullptr;                 // whose painted callback asks for a repaint
};

// Counts every message, hands video to the picture's decoding pool, and prints the clipboard
// and monitor notices.
agent::MessageHandler MakeInteractiveHandler(InteractiveDispatch dispatch);

struct HeadlessDispatch {
  std::atomic<uint64_t>* receivedBytes = nullptr;  // cumulative, never reset
  TileDecodePool* video = nullptr;
  std::atomic<int32_t>* monitorCount = nullptr;
};

// Counts every message, hands video to the picture's decoding pool and remembers the client's
// monitor count.
agent::MessageHandler MakeHeadlessHandler(HeadlessDispatch dispatch);

}  // namespace stv
