// Decodes the video stream's tiles on several threads while the picture still sees one message
// after another: whoever reads it under its mutex finds exactly the pixels and counters of the
// messages so far applied one by one, never a part of a message, and tiles that overlap are
// painted in the order they arrived.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/session_picture.h"

namespace stv {

// What may wait between arrival and painting. The reader waits while a message with tiles
// would exceed the tiles or bytes, unless no tile waits at all, so one message larger than the
// bound still passes. A message without tiles (a fragment, a frame start) holds no bytes once
// applied and counts only against the message bound, so the reader goes on receiving the next
// frame's fragments while the last frame decodes.
struct DecodeBacklogLimits {
  size_t maxTiles = 1024;
  size_t maxBytes = size_t{16} << 20;  // received bytes plus the decoded pixels they will become
  size_t maxMessages = 4096;
};

// One thread per core, at least one; STV_DECODE_THREADS, when set to a positive number, says
// how many instead (for measuring and testing).
int DecodeThreadCount();

class TileDecodePool {
 public:
  // `threads` decoding threads of its own; with none, tiles decode on the thread that applies
  // messages whenever it has to wait (a deterministic order, for tests). `painted` is called
  // after a message that painted a tile is in the picture, on whichever thread put it there,
  // without the mutex held. The picture and mutex outlive the pool.
  TileDecodePool(SessionPicture& picture, std::mutex& pictureMutex, int threads, std::function<void()> painted = {},
                 DecodeBacklogLimits limits = {});
  // Paints everything applied so far, then stops the threads.
  ~TileDecodePool();
  TileDecodePool(const TileDecodePool&) = delete;
  TileDecodePool& operator=(const TileDecodePool&) = delete;

  // Takes the next video message, from one thread only (the transport's reader). Returns once
  // its tiles are queued, or once it is in the picture when it changes the framebuffer. Leaves
  // in `message` the buffer of a painted message, at that message's size, so a reader that
  // receives into it again neither allocates nor clears.
  void Apply(std::vector<uint8_t>&& message);

  // Returns once every message applied so far is in the picture.
  void Finish();

  // Any thread: whether tiles are waiting for a decoding thread, that is, whether the stream is
  // arriving faster than it is decoded.
  bool Behind() const { return behind_.load(std::memory_order_relaxed); }

 private:
  struct Pending {
    DeferredMessage message;
    size_t undecoded = 0;  // tiles still to decode
    size_t bytes = 0;      // what it counts against the byte limit
  };

  void Work();
  // With mutex_ held through `lock`: decodes the next queued tile, if there is one.
  bool DecodeOne(std::unique_lock<std::mutex>& lock);
  template <typename Done>
  void WaitHelping(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, Done done);
  void Submit(std::unique_ptr<Pending> pending);
  // With mutex_ held through `lock`: paints the decoded messages at the head, in order, unless
  // another thread is already doing so (it will find these too).
  void PaintReady(std::unique_lock<std::mutex>& lock);
  void WaitUntilPainted(std::unique_lock<std::mutex>& lock);
  // With mutex_ held, after the backlog shrank.
  void WakeWaitingReader();
  std::unique_ptr<Pending> Recycled();
  void Recycle(std::unique_ptr<Pending> pending);
  void LendBuffer(DeferredTile& tile);

  SessionPicture& picture_;
  std::mutex& pictureMutex_;
  const std::function<void()> painted_;
  const DecodeBacklogLimits limits_;

  std::mutex mutex_;  // guards what follows; never held together with the picture's mutex
  std::condition_variable workReady_;
  std::condition_variable room_;                     // the waiting reader may go on
  std::condition_variable paintedAll_;               // the queue ran empty
  std::deque<std::unique_ptr<Pending>> queue_;       // in arrival order, not yet painted
  std::deque<std::pair<Pending*, size_t>> work_;     // tiles to decode: message, index
  std::vector<std::unique_ptr<Pending>> spare_;      // painted messages, kept for reuse
  std::vector<std::vector<uint8_t>> spareInflated_;  // decode buffers of painted tiles, the same
  std::vector<TilePixels> spareImages_;
  std::vector<UnclearedBytes> spareAssemblies_;     // painted messages' reassembly buffers
  std::vector<UnclearedBytes> returnedAssemblies_;  // the reader's, on their way to the picture
  std::vector<Pending*> painting_;
  size_t tiles_ = 0;
  size_t bytes_ = 0;
  bool paintingNow_ = false;
  bool readerWaiting_ = false;
  bool stopping_ = false;
  std::atomic<bool> behind_{false};  // !work_.empty(), for readers without the mutex

  std::vector<std::thread> threads_;
};

}  // namespace stv
