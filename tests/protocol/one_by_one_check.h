// The decoding pool against the picture applied one message at a time: whoever looks at the
// picture under its mutex, at any moment, must find it exactly as it was after some number of
// messages applied one by one, and in the end as after all of them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/session_picture.h"
#include "protocol/tile_decode_pool.h"

namespace stv {

// Counters, size and a digest of the pixels: what any reader of the picture can see.
struct PictureView {
  PictureCounts counts;
  int32_t width = 0;
  int32_t height = 0;
  uint64_t digest = 1469598103934665603u;
  friend bool operator==(const PictureView&, const PictureView&) = default;
};

inline PictureView ViewOf(const SessionPicture& p) {
  PictureView view{p, p.width, p.height};
  for (uint8_t byte : p.framebuffer) view.digest = (view.digest ^ byte) * 1099511628211u;
  return view;
}

inline void ExpectPoolMatchesOneByOne(TileImageCodec* codec, const std::vector<std::vector<uint8_t>>& messages,
                                      int threads, DecodeBacklogLimits limits = {}) {
  SessionPicture reference(codec);
  std::vector<PictureView> after{ViewOf(reference)};  // after[k]: once k messages are applied
  bool anyPainted = false;
  for (const auto& message : messages) {
    anyPainted = ApplyVideoMessage(reference, message) || anyPainted;
    after.push_back(ViewOf(reference));
  }

  SessionPicture picture(codec);
  std::mutex mutex;
  std::atomic<bool> done{false};
  std::atomic<int> paintedCalls{0};
  std::vector<PictureView> seen;
  std::thread looker([&] {
    while (!done.load()) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(ViewOf(picture));
      }
      std::this_thread::yield();
    }
  });
  {
    TileDecodePool pool(
        picture, mutex, threads, [&] { ++paintedCalls; }, limits);
    for (const auto& message : messages) pool.Apply(std::vector<uint8_t>(message));
    pool.Finish();
  }
  done = true;
  looker.join();

  for (const PictureView& view : seen) {
    const uint64_t applied = view.counts.messages;
    ASSERT_LT(applied, after.size());
    EXPECT_TRUE(view == after[applied]) << "a look after " << applied << " messages differs (" << threads
                                        << " threads)";
  }
  EXPECT_TRUE(ViewOf(picture) == after.back()) << threads << " threads";
  EXPECT_EQ(paintedCalls.load() > 0, anyPainted);
}

}  // namespace stv
