// Turns a scene into the agent's video stream: renders frames, finds the 64x64 tiles that
// changed, encodes them, groups them into messages, wraps those for the wire, and keeps the
// agent's model of what the viewer shows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "image.h"
#include "scenes.h"
#include "tile_encoder.h"
#include "video_messages.h"

namespace stv::sim {

inline constexpr int kTileSize = 64;

struct StreamConfig {
  std::string scene = "testcard";
  EncodingMode encoding = EncodingMode::kMix;
  int width = 1280;
  int height = 720;
  uint32_t fragmentThreshold = kDefaultFragmentThreshold;
  uint32_t streamId = 1;
  int keyframeInterval = 0;  // 0: keyframes only at the start and on request
  int replayFrames = 0;      // 0: encode live; N: pre-encode a loop of N frames and replay it
};

// What the viewer may change while the stream runs (its quality reports).
struct StreamSettings {
  int quality = 80;
  bool gray = false;
  friend bool operator==(const StreamSettings&, const StreamSettings&) = default;
};

// The stream that follows `restart` restarts of `first` in session `session`: a stream id of
// its own, and the size cycling through the first size, 1024x768 and 1920x1080. Restart 0
// is `first` itself with the session's id.
StreamConfig RestartedStream(const StreamConfig& first, uint32_t session, int restart);

// One frame's worth of whole video messages (before wrapping), and the model it leaves.
class FrameEncoder {
 public:
  FrameEncoder(std::unique_ptr<Scene> scene, EncodingMode mode, int width, int height);

  // Renders scene frame `sceneFrame` and appends the messages that bring the viewer from the
  // previous frame to it: a FrameStart, then one TileBatch per tile row with changes (a lone
  // changed tile goes as a Tile). Appends nothing when no tile changed and it is no keyframe.
  void Encode(int sceneFrame, uint32_t frameTag, bool keyframe, const StreamSettings& settings,
              std::vector<Bytes>& out);

  // What the viewer shows after the messages so far.
  const Image& model() const { return model_; }

 private:
  // Draws the frame into source_ (keeping the last one in previous_); false when the
  // picture cannot have changed and nothing was drawn.
  bool RenderSource(int sceneFrame, const StreamSettings& settings);

  std::unique_ptr<Scene> scene_;
  TileEncoder tiles_;
  Image source_;    // the frame being sent
  Image previous_;  // the frame sent before it
  Image model_;
  bool haveSource_ = false;
  int renderedFrame_ = -1;
  StreamSettings renderedSettings_;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> decoded_;
};

// A loop of pre-encoded frames: frames[k] brings the viewer from scene frame k - 1 (mod N)
// to scene frame k. Encoded once with the default settings, shared by every session.
struct ReplayLoop {
  std::vector<std::vector<Bytes>> frames;
};
// Encodes config.replayFrames frames of the scene; null with `error` set when the scene or
// size is impossible.
std::unique_ptr<ReplayLoop> PreEncodeReplayLoop(const StreamConfig& config, std::string& error);

// The whole stream for one session, on the wire: frames, heartbeats, keyframes on request,
// live or replayed from a pre-encoded loop.
class VideoSource {
 public:
  // Null with `error` set for an unknown scene or an impossible size. With a `loop` (which
  // must outlive the source and match `config`) frames are replayed from it; otherwise they
  // are encoded live.
  static std::unique_ptr<VideoSource> Create(const StreamConfig& config, const ReplayLoop* loop, std::string& error);

  // Appends the wire messages of the next frame (possibly none for a still picture).
  // The first frame, and any frame after RequestKeyframe, is a keyframe. What a gathered batch
  // refers to stays valid until the next call.
  void NextFrame(const StreamSettings& settings, WireOut out);
  void RequestKeyframe() { keyframeRequested_ = true; }
  void Heartbeat(WireOut out);
  // Wraps an extra whole message into the stream (used to inject faults).
  void WrapExtra(std::span<const uint8_t> message, WireOut out) { wrapper_.Wrap(message, out); }
  void WrapOrphanFragment(uint32_t totalLength, WireOut out) { wrapper_.WrapOrphanFragment(totalLength, out); }

  // The viewer's picture after everything produced so far.
  Image Model() const;

  uint32_t framesSent() const { return frameTag_; }

 private:
  VideoSource(const StreamConfig& config, std::unique_ptr<FrameEncoder> live, const ReplayLoop* loop);
  void WrapAll(const std::vector<Bytes>& messages, WireOut out);

  StreamConfig config_;
  std::unique_ptr<FrameEncoder> live_;
  StreamWrapper wrapper_;
  uint32_t frameTag_ = 0;
  uint32_t heartbeatSequence_ = 0;
  int tick_ = 0;
  bool keyframeRequested_ = true;
  const ReplayLoop* loop_;  // null when encoding live
  int replayFrame_ = 0;
  std::vector<Bytes> scratch_;
};

// Everything a session's video channel would carry for `frames` ticks at `fps`, with a
// heartbeat each second, and the final model: the stream without any socket. Replays when
// config.replayFrames is set.
struct ProducedStream {
  std::vector<Bytes> messages;
  Image model;
};
std::optional<ProducedStream> ProduceVideoStream(const StreamConfig& config, int frames, int fps,
                                                 const StreamSettings& settings, std::string& error);

}  // namespace stv::sim
