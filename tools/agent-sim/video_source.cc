#include "video_source.h"

#include <algorithm>

#include "common/byte_order.h"

namespace stv::sim {
namespace {

// Batches stay far below the largest message a fragment train may carry.
constexpr size_t kMaxBatchBytes = 4 << 20;
constexpr int kMaxPictureSide = 16384;

}  // namespace

FrameEncoder::FrameEncoder(std::unique_ptr<Scene> scene, EncodingMode mode, int width, int height)
    : scene_(std::move(scene)), tiles_(mode), source_(width, height), previous_(width, height), model_(width, height) {}

bool FrameEncoder::RenderSource(int sceneFrame, const StreamSettings& settings) {
  const bool unchanged =
      haveSource_ && settings == renderedSettings_ && (scene_->IsStatic() || sceneFrame == renderedFrame_);
  if (unchanged) return false;
  std::swap(source_, previous_);
  scene_->Render(sceneFrame, source_);
  if (settings.gray) ConvertToGray(source_);
  haveSource_ = true;
  renderedFrame_ = sceneFrame;
  renderedSettings_ = settings;
  return true;
}

void FrameEncoder::Encode(int sceneFrame, uint32_t frameTag, bool keyframe, const StreamSettings& settings,
                          std::vector<Bytes>& out) {
  keyframe = keyframe || !haveSource_;
  // A still picture costs nothing until someone asks for a keyframe.
  if (!RenderSource(sceneFrame, settings) && !keyframe) return;
  const int columns = (source_.width + kTileSize - 1) / kTileSize;
  const int rows = (source_.height + kTileSize - 1) / kTileSize;

  std::vector<std::vector<EncodedTile>> changedRows;
  size_t changedTiles = 0;
  for (int row = 0; row < rows; ++row) {
    std::vector<EncodedTile> changed;
    for (int column = 0; column < columns; ++column) {
      const Rect rect{column * kTileSize, row * kTileSize, std::min(kTileSize, source_.width - column * kTileSize),
                      std::min(kTileSize, source_.height - row * kTileSize)};
      if (!keyframe && RectEqual(source_, previous_, rect)) continue;
      CopyRect(source_, rect, scratch_);
      EncodedTile tile;
      tile.tag = static_cast<uint16_t>(row * columns + column);
      tile.x = static_cast<uint16_t>(rect.x);
      tile.y = static_cast<uint16_t>(rect.y);
      const bool lossy = tiles_.Encode(scratch_, rect.w, rect.h, settings.quality, column, row, tile, decoded_);
      PasteRect(model_, rect, lossy ? decoded_ : scratch_);
      changed.push_back(std::move(tile));
    }
    changedTiles += changed.size();
    if (!changed.empty()) changedRows.push_back(std::move(changed));
  }
  if (changedTiles == 0 && !keyframe) return;

  out.push_back(BuildFrameStart(frameTag, keyframe, static_cast<uint16_t>(source_.width),
                                static_cast<uint16_t>(source_.height), static_cast<uint32_t>(changedTiles)));
  for (const std::vector<EncodedTile>& row : changedRows) {
    if (row.size() == 1) {
      out.push_back(BuildTile(frameTag, row.front()));
      continue;
    }
    size_t begin = 0;
    while (begin < row.size()) {
      size_t end = begin;
      size_t bytes = 7;
      while (end < row.size() && (end == begin || bytes + 15 + row[end].payload.size() <= kMaxBatchBytes)) {
        bytes += 15 + row[end].payload.size();
        ++end;
      }
      out.push_back(BuildTileBatch(frameTag, std::span(row).subspan(begin, end - begin)));
      begin = end;
    }
  }
}

namespace {

bool CheckConfig(const StreamConfig& config, std::string& error) {
  if (config.width < 1 || config.height < 1 || config.width > kMaxPictureSide || config.height > kMaxPictureSide) {
    error = "the picture size must be from 1x1 to 16384x16384";
    return false;
  }
  if (!MakeScene(config.scene)) {
    error = "unknown scene \"" + config.scene + "\"";
    return false;
  }
  return true;
}

}  // namespace

StreamConfig RestartedStream(const StreamConfig& first, uint32_t session, int restart) {
  struct Size {
    int width;
    int height;
  };
  static constexpr Size kCycle[] = {{1024, 768}, {1920, 1080}};
  StreamConfig config = first;
  // Ids of later streams stay apart from every session's first one.
  config.streamId = session + (static_cast<uint32_t>(restart) << 16);
  const int step = restart % 3;
  if (step > 0) {
    config.width = kCycle[step - 1].width;
    config.height = kCycle[step - 1].height;
  }
  return config;
}

std::unique_ptr<ReplayLoop> PreEncodeReplayLoop(const StreamConfig& config, std::string& error) {
  if (!CheckConfig(config, error)) return nullptr;
  const StreamSettings defaults;
  const int count = std::max(1, config.replayFrames);
  FrameEncoder encoder(MakeScene(config.scene), config.encoding, config.width, config.height);
  std::vector<Bytes> ignored;
  encoder.Encode(0, 0, true, defaults, ignored);
  auto loop = std::make_unique<ReplayLoop>();
  loop->frames.resize(static_cast<size_t>(count));
  for (int step = 1; step <= count; ++step) {
    encoder.Encode(step % count, 0, false, defaults, loop->frames[static_cast<size_t>(step % count)]);
  }
  return loop;
}

std::unique_ptr<VideoSource> VideoSource::Create(const StreamConfig& config, const ReplayLoop* loop,
                                                 std::string& error) {
  if (!CheckConfig(config, error)) return nullptr;
  auto live = std::make_unique<FrameEncoder>(MakeScene(config.scene), config.encoding, config.width, config.height);
  return std::unique_ptr<VideoSource>(new VideoSource(config, std::move(live), loop));
}

VideoSource::VideoSource(const StreamConfig& config, std::unique_ptr<FrameEncoder> live, const ReplayLoop* loop)
    : config_(config),
      live_(std::move(live)),
      wrapper_(config.streamId, static_cast<uint16_t>(config.width), static_cast<uint16_t>(config.height),
               config.fragmentThreshold),
      loop_(loop) {}

void VideoSource::WrapAll(const std::vector<Bytes>& messages, WireOut out) {
  for (const Bytes& message : messages) wrapper_.Wrap(message, out);
}

void VideoSource::NextFrame(const StreamSettings& settings, WireOut out) {
  const bool interval = config_.keyframeInterval > 0 && tick_ > 0 && tick_ % config_.keyframeInterval == 0;
  const bool keyframe = keyframeRequested_ || interval;
  keyframeRequested_ = false;
  const int tick = tick_++;
  scratch_.clear();
  if (loop_ != nullptr && !keyframe) {
    replayFrame_ = (replayFrame_ + 1) % static_cast<int>(loop_->frames.size());
    const std::vector<Bytes>& frame = loop_->frames[static_cast<size_t>(replayFrame_)];
    for (const Bytes& message : frame) wrapper_.Wrap(message, out, frameTag_);
    if (!frame.empty()) ++frameTag_;
    return;
  }
  if (loop_ == nullptr) {
    live_->Encode(tick, frameTag_, keyframe, settings, scratch_);
  } else {
    live_->Encode(replayFrame_, frameTag_, true, StreamSettings{}, scratch_);  // a keyframe of the frame on screen
  }
  if (!scratch_.empty()) ++frameTag_;
  WrapAll(scratch_, out);
}

void VideoSource::Heartbeat(WireOut out) { wrapper_.Wrap(BuildHeartbeat(heartbeatSequence_++), out); }

Image VideoSource::Model() const {
  if (loop_ == nullptr) return live_->model();
  // A tile's look depends only on its current pixels, so a fresh keyframe of the frame on
  // screen reproduces what the replayed deltas built.
  FrameEncoder encoder(MakeScene(config_.scene), config_.encoding, config_.width, config_.height);
  std::vector<Bytes> ignored;
  encoder.Encode(replayFrame_, 0, true, StreamSettings{}, ignored);
  return encoder.model();
}

std::optional<ProducedStream> ProduceVideoStream(const StreamConfig& config, int frames, int fps,
                                                 const StreamSettings& settings, std::string& error) {
  std::unique_ptr<ReplayLoop> loop;
  if (config.replayFrames > 0 && !(loop = PreEncodeReplayLoop(config, error))) return std::nullopt;
  std::unique_ptr<VideoSource> source = VideoSource::Create(config, loop.get(), error);
  if (!source) return std::nullopt;
  ProducedStream produced;
  for (int frame = 0; frame < frames; ++frame) {
    if (fps > 0 && frame % fps == 0) source->Heartbeat(produced.messages);
    source->NextFrame(settings, produced.messages);
  }
  produced.model = source->Model();
  return produced;
}

}  // namespace stv::sim
