#include "protocol/tile_decode_pool.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "common/cpu_relax.h"
#include "protocol/decode_thread_priority.h"

namespace stv {
namespace {

constexpr size_t kKeptMessageCapacity = 128 * 1024;

// What Recycle would not keep anyway; the message stays in the queue, but painted, so no
// other thread reads it.
void ReleaseLargeBuffers(DeferredMessage& message) {
  if (message.assembled.capacity() > kLargestSpareAssembly) message.assembled = {};
  if (message.message.capacity() > kKeptMessageCapacity) message.message = {};
}

template <typename Buffer>
void Lend(std::vector<Buffer>& spare, Buffer& to) {
  if (spare.empty()) return;
  to = std::move(spare.back());
  spare.pop_back();
}

template <typename Buffer>
void GiveBack(std::vector<Buffer>& spare, Buffer& from, size_t keep) {
  if (from.capacity() != 0 && spare.size() < keep) spare.push_back(std::move(from));
}

// Takes the pool's mutex, spinning a while first: it is held for a microsecond at a time, far
// less than a sleep and a wake-up cost, so a thread that finds it taken would otherwise sleep
// for nothing, and a tile or two later find it taken again.
void LockSpinning(std::unique_lock<std::mutex>& lock) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (lock.try_lock()) return;
    CpuRelax();
  }
  lock.lock();
}

}  // namespace

int DecodeThreadCount() {
  if (const char* text = std::getenv("STV_DECODE_THREADS")) {
    const int wanted = std::atoi(text);
    if (wanted > 0) return std::min(wanted, 256);
  }
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

TileDecodePool::TileDecodePool(SessionPicture& picture, std::mutex& pictureMutex, int threads,
                               std::function<void()> painted, DecodeBacklogLimits limits)
    : picture_(picture), pictureMutex_(pictureMutex), painted_(std::move(painted)), limits_(limits) {
  threads_.reserve(static_cast<size_t>(std::max(threads, 0)));
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

TileDecodePool::~TileDecodePool() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    WaitUntilPainted(lock);
    stopping_ = true;
  }
  workReady_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void TileDecodePool::Apply(std::vector<uint8_t>&& message) {
  std::unique_ptr<Pending> pending = Recycled();
  std::swap(pending->message.message, message);
  std::unique_lock<std::mutex> pictureLock;
  const std::function<void()> barrier = [this, &pictureLock] {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      WaitUntilPainted(lock);
    }
    pictureLock = std::unique_lock<std::mutex>(pictureMutex_);
  };
  const std::vector<uint8_t>& bytes = pending->message.message;
  const DeferredApply applied = ApplyVideoMessageDeferred(picture_, bytes, pending->message, barrier);
  if (applied.appliedDirectly) {
    pictureLock.unlock();
    if (applied.painted && painted_) painted_();
    std::lock_guard<std::mutex> lock(mutex_);
    Recycle(std::move(pending));
    return;
  }
  // Nothing views a message without tiles any more: the reader can have its buffer back.
  if (pending->message.tiles.empty()) {
    std::swap(pending->message.message, message);
    pending->message.assembled = {};
  }
  Submit(std::move(pending));
}

void TileDecodePool::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitUntilPainted(lock);
}

void TileDecodePool::Submit(std::unique_ptr<Pending> pending) {
  DeferredMessage& message = pending->message;
  const bool tileless = message.tiles.empty();
  pending->bytes = tileless ? 0 : message.message.size() + message.assembled.size();
  for (const DeferredTile& tile : message.tiles) {
    if (tile.decoded) continue;
    ++pending->undecoded;
    pending->bytes += static_cast<size_t>(tile.tile.w) * static_cast<size_t>(tile.tile.h) * 4;
  }

  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  LockSpinning(lock);
  const auto fits = [&] {
    if (queue_.size() >= limits_.maxMessages) return false;
    if (tileless || (tiles_ == 0 && bytes_ == 0)) return true;
    return tiles_ + message.tiles.size() <= limits_.maxTiles && bytes_ + pending->bytes <= limits_.maxBytes;
  };
  if (!fits()) {
    // It goes on as soon as the message fits: letting the backlog run down first would save
    // wake-ups, but the bursts of reading that follow keep a core from a woken writer.
    readerWaiting_ = true;
    WaitHelping(lock, room_, fits);
    readerWaiting_ = false;
  }
  tiles_ += message.tiles.size();
  bytes_ += pending->bytes;
  Pending* queued = queue_.emplace_back(std::move(pending)).get();
  for (size_t i = 0; i < queued->message.tiles.size(); ++i) {
    if (!queued->message.tiles[i].decoded) work_.emplace_back(queued, i);
  }
  behind_.store(!work_.empty(), std::memory_order_relaxed);
  if (queued->undecoded == 0) {
    PaintReady(lock);  // nothing to decode: counters only, or raw tiles
  } else if (queued->undecoded == 1) {
    workReady_.notify_one();
  } else {
    workReady_.notify_all();
  }
}

void TileDecodePool::Work() {
  GiveWayToPromptThreads();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    workReady_.wait(lock, [this] { return stopping_ || !work_.empty(); });
    if (!DecodeOne(lock)) return;  // stopping, and nothing is left
  }
}

bool TileDecodePool::DecodeOne(std::unique_lock<std::mutex>& lock) {
  if (work_.empty()) return false;
  auto [pending, index] = work_.front();
  work_.pop_front();
  behind_.store(!work_.empty(), std::memory_order_relaxed);
  DeferredTile& tile = pending->message.tiles[index];
  LendBuffer(tile);
  lock.unlock();
  DecodeDeferredTile(picture_.codec, tile);
  LockSpinning(lock);
  if (--pending->undecoded == 0) PaintReady(lock);
  return true;
}

void TileDecodePool::PaintReady(std::unique_lock<std::mutex>& lock) {
  if (paintingNow_) return;
  paintingNow_ = true;
  while (!queue_.empty() && queue_.front()->undecoded == 0) {
    painting_.clear();
    for (const std::unique_ptr<Pending>& pending : queue_) {
      if (pending->undecoded != 0) break;
      painting_.push_back(pending.get());
      // Out of the backlog from here: the next message can be let in and decoded while these
      // are painted, which at 4K, with one frame over the bounds, would otherwise idle the
      // other decoding threads for the whole paint.
      tiles_ -= pending->message.tiles.size();
      bytes_ -= pending->bytes;
    }
    WakeWaitingReader();
    lock.unlock();
    bool painted = false;
    {
      std::lock_guard<std::mutex> pictureLock(pictureMutex_);
      for (Pending* pending : painting_) painted = PaintDeferredMessage(picture_, pending->message) || painted;
    }
    if (painted && painted_) painted_();
    // Frees go before the mutex is taken again: a large one can take long enough for the other
    // threads to queue up behind it.
    for (Pending* pending : painting_) ReleaseLargeBuffers(pending->message);
    LockSpinning(lock);
    for (size_t i = 0; i < painting_.size(); ++i) {
      Recycle(std::move(queue_.front()));
      queue_.pop_front();
    }
    WakeWaitingReader();
  }
  paintingNow_ = false;
  if (queue_.empty()) paintedAll_.notify_all();
}

void TileDecodePool::WakeWaitingReader() {
  if (readerWaiting_) room_.notify_one();
}

template <typename Done>
void TileDecodePool::WaitHelping(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, Done done) {
  while (!done()) {
    // Without threads of its own, the pool gets its decoding done by the thread that waits.
    if (!threads_.empty() || !DecodeOne(lock)) wake.wait(lock);
  }
}

void TileDecodePool::WaitUntilPainted(std::unique_lock<std::mutex>& lock) {
  WaitHelping(lock, paintedAll_, [this] { return queue_.empty() && !paintingNow_; });
}

std::unique_ptr<TileDecodePool::Pending> TileDecodePool::Recycled() {
  std::unique_ptr<Pending> pending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spare_.empty()) {
      pending = std::move(spare_.back());
      spare_.pop_back();
    }
    returnedAssemblies_.swap(spareAssemblies_);
  }
  // The picture's reassembly is the reader's alone, so the buffers go in without the mutex.
  for (UnclearedBytes& buffer : returnedAssemblies_) KeepSpareAssembly(picture_, std::move(buffer));
  returnedAssemblies_.clear();
  return pending ? std::move(pending) : std::make_unique<Pending>();
}

void TileDecodePool::Recycle(std::unique_ptr<Pending> pending) {
  for (DeferredTile& tile : pending->message.tiles) {
    GiveBack(spareInflated_, tile.inflated, limits_.maxTiles);
    GiveBack(spareImages_, tile.image, limits_.maxTiles);
  }
  DeferredMessage& message = pending->message;
  message.tiles.clear();
  // A message buffer of the usual size stays, for the reader to receive into again.
  ReleaseLargeBuffers(message);
  // The reader takes these back into the picture's reassembly when it next recycles.
  if (message.assembled.capacity() != 0 && spareAssemblies_.size() < kSpareAssemblies) {
    spareAssemblies_.push_back(std::move(message.assembled));
  }
  message.assembled = {};
  message.counts = {};
  pending->undecoded = 0;
  if (spare_.size() < 64) spare_.push_back(std::move(pending));
}

void TileDecodePool::LendBuffer(DeferredTile& tile) {
  if (IsImageTile(tile.tile)) {
    Lend(spareImages_, tile.image);
  } else {
    Lend(spareInflated_, tile.inflated);
  }
}

}  // namespace stv
