// The agent's stream, fed into the viewer's own video decoding: every scene and encoding
// must give well-formed messages that paint exactly the agent's model of the screen.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>

#include "codec/system_image_codec.h"
#include "common/byte_order.h"
#include "protocol/session_picture.h"
#include "video_source.h"

namespace stv::sim {
namespace {

struct Applied {
  explicit Applied(TileImageCodec* codec) : picture(codec) {}
  SessionPicture picture;
  size_t fragments = 0;
  std::vector<uint32_t> messageIds;  // of fragment trains, in order of their first fragment
};

void ApplyAll(const std::vector<Bytes>& messages, Applied& applied) {
  for (const Bytes& message : messages) {
    ASSERT_GE(message.size(), 9u);
    ASSERT_EQ(message[0], 5) << "every message travels in an envelope";
    if (message[9] == 6) {  // a fragment
      ++applied.fragments;
      if (ReadU16Be(&message[18]) == 0) applied.messageIds.push_back(ReadU32Be(&message[10]));
    }
    ApplyVideoMessage(applied.picture, message);
  }
}

// `frames` frames of `config` through the viewer's own decoding, which must paint exactly the
// agent's model and refuse nothing. The stream, for further checks.
std::optional<ProducedStream> PlayThrough(const StreamConfig& config, int frames, int fps, Applied& applied) {
  std::string error;
  auto produced = ProduceVideoStream(config, frames, fps, StreamSettings{}, error);
  EXPECT_TRUE(produced) << error;
  if (!produced) return std::nullopt;
  ApplyAll(produced->messages, applied);
  EXPECT_EQ(applied.picture.malformed, 0u);
  EXPECT_EQ(applied.picture.undecodable, 0u);
  EXPECT_TRUE(applied.picture.framebuffer == produced->model.pixels) << "the viewer's picture differs from the model";
  return produced;
}

class EveryScene : public ::testing::TestWithParam<std::tuple<std::string_view, std::string_view>> {};

TEST_P(EveryScene, PaintsExactlyTheModel) {
  const auto [scene, encoding] = GetParam();
  StreamConfig config;
  config.scene = scene;
  config.encoding = *ParseEncodingMode(encoding);
  config.width = 200;  // edge tiles of 8 and 22 pixels
  config.height = 150;
  config.fragmentThreshold = 4000;
  agent::SystemImageCodec codec;
  ASSERT_TRUE(codec.HasFactory());
  Applied applied(&codec);
  ASSERT_TRUE(PlayThrough(config, 6, 3, applied));
  const SessionPicture& picture = applied.picture;
  EXPECT_EQ(picture.keyframes, 1u);
  EXPECT_EQ(picture.heartbeats, 2u);
  EXPECT_GT(picture.tilesPainted, 0u);
  EXPECT_EQ(picture.frames, scene == "testcard" ? 1u : 6u);
  EXPECT_TRUE(picture.reassembly.empty()) << "a fragment train was left incomplete";
  EXPECT_EQ(picture.width, 200);
  EXPECT_EQ(picture.height, 150);
  for (size_t i = 1; i < applied.messageIds.size(); ++i) EXPECT_GT(applied.messageIds[i], applied.messageIds[i - 1]);
}

INSTANTIATE_TEST_SUITE_P(Streams, EveryScene,
                         ::testing::Combine(::testing::Values("testcard", "desktop", "motion"),
                                            ::testing::ValuesIn(EncodingModeNames())),
                         [](const auto& info) {
                           std::string name =
                               std::string(std::get<0>(info.param)) + "_" + std::string(std::get<1>(info.param));
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

TEST(Stream, MixUsesEveryKindOfTileOnTheTestCard) {
  FrameEncoder encoder(MakeScene("testcard"), EncodingMode::kMix, 1280, 720);
  std::vector<Bytes> messages;
  encoder.Encode(0, 1, true, StreamSettings{}, messages);
  std::vector<TileRecord> tiles;
  std::map<TileEncoding, int> encodings;
  for (const Bytes& message : messages) {
    if (!ParseTileBatch(message, tiles)) continue;
    for (const TileRecord& tile : tiles) ++encodings[static_cast<TileEncoding>(tile.encoding)];
  }
  for (const TileEncoding kind :
       {TileEncoding::PaletteZlib, TileEncoding::RawZlib, TileEncoding::CodecImage, TileEncoding::CodecImageAlt}) {
    EXPECT_GT(encodings[kind], 0) << static_cast<int>(kind);
  }
}

TEST(Stream, LargeDesktopTravelsInFragmentsAndSingleTiles) {
  StreamConfig config;
  config.scene = "desktop";
  config.encoding = EncodingMode::kRaw;
  agent::SystemImageCodec codec;
  Applied applied(&codec);
  const auto produced = PlayThrough(config, 8, 30, applied);
  ASSERT_TRUE(produced);
  EXPECT_GT(applied.fragments, 0u);
  size_t singles = 0;
  for (const Bytes& message : produced->messages) singles += message[9] == 2;  // a Tile
  EXPECT_GT(singles, 0u) << "a lone changed tile in a row goes as a Tile message";
}

TEST(Stream, ReplayLoopsBackToTheSamePicture) {
  for (const char* encoding : {"mix", "jpeg"}) {
    StreamConfig config;
    config.scene = "desktop";
    config.encoding = *ParseEncodingMode(encoding);
    config.width = 300;
    config.height = 200;
    config.replayFrames = 4;
    SCOPED_TRACE(encoding);
    agent::SystemImageCodec codec;
    Applied applied(&codec);
    // 11 frames: the loop wraps twice and stops part-way through it.
    const auto produced = PlayThrough(config, 11, 5, applied);
    ASSERT_TRUE(produced);
    EXPECT_EQ(applied.picture.frames, 11u);

    // The last replayed frame is scene frame 10 % 4 = 2, as a live stream shows it.
    config.replayFrames = 0;
    std::string error;
    const auto reference = ProduceVideoStream(config, 3, 0, StreamSettings{}, error);
    EXPECT_TRUE(reference->model == produced->model) << "replay shows scene frame 2 at the end";
  }
}

TEST(Stream, KeyframesFollowTheIntervalAndRequests) {
  StreamConfig config;
  config.scene = "motion";
  config.width = 64;
  config.height = 64;
  config.keyframeInterval = 3;
  std::string error;
  auto source = VideoSource::Create(config, nullptr, error);
  ASSERT_TRUE(source) << error;
  SessionPicture picture;
  std::vector<Bytes> wire;
  for (int frame = 0; frame < 7; ++frame) {
    if (frame == 4) source->RequestKeyframe();
    source->NextFrame(StreamSettings{}, wire);
  }
  for (const Bytes& message : wire) ApplyVideoMessage(picture, message);
  EXPECT_EQ(picture.frames, 7u);
  EXPECT_EQ(picture.keyframes, 4u);  // frames 0, 3, 4 (asked) and 6
}

TEST(Stream, StillPictureSendsNothingUntilItChanges) {
  StreamConfig config;
  config.width = 130;
  config.height = 70;
  std::string error;
  auto source = VideoSource::Create(config, nullptr, error);
  ASSERT_TRUE(source) << error;
  std::vector<Bytes> wire;
  source->NextFrame(StreamSettings{}, wire);
  const size_t first = wire.size();
  source->NextFrame(StreamSettings{}, wire);
  EXPECT_EQ(wire.size(), first);
  // Grayscale changes the picture: the coloured tiles go again, and the model follows.
  StreamSettings gray;
  gray.gray = true;
  source->NextFrame(gray, wire);
  EXPECT_GT(wire.size(), first);
  SessionPicture picture;
  for (const Bytes& message : wire) ApplyVideoMessage(picture, message);
  const Image model = source->Model();
  EXPECT_TRUE(picture.framebuffer == model.pixels);
  for (size_t i = 0; i < model.pixels.size(); i += 4) {
    ASSERT_TRUE(model.pixels[i] == model.pixels[i + 1] && model.pixels[i] == model.pixels[i + 2]) << i;
  }
}

// Orphan fragments are well-formed and a good stream goes on around them. (What the viewer
// makes of the other resource faults is counted exactly in hostile_e2e_test.)
TEST(Stream, OrphanFragmentsStayPendingUnderFreshIds) {
  StreamConfig config;
  config.scene = "desktop";
  config.width = 320;
  config.height = 200;
  config.fragmentThreshold = 4000;
  std::string error;
  auto source = VideoSource::Create(config, nullptr, error);
  ASSERT_TRUE(source) << error;
  agent::SystemImageCodec codec;
  Applied applied(&codec);
  std::vector<Bytes> wire;
  source->NextFrame(StreamSettings{}, wire);
  ApplyAll(wire, applied);
  ASSERT_EQ(applied.picture.malformed, 0u);

  wire.clear();
  source->WrapOrphanFragment(1, wire);                        // raised to the smallest fragmented message
  source->WrapOrphanFragment(kMaxReassembledSize + 9, wire);  // capped at the largest
  source->WrapOrphanFragment(100000, wire);
  ASSERT_EQ(wire.size(), 3u);
  for (const Bytes& message : wire) {
    EXPECT_EQ(message.size(), 16384u);  // a full fragment
  }
  ApplyAll(wire, applied);
  EXPECT_EQ(applied.picture.malformed, 0u);
  ASSERT_EQ(applied.picture.reassembly.size(), 3u);
  EXPECT_EQ(applied.picture.reassemblyBytes, (16362u + 1) + 8388608 + 100000);
  // A later fragmented message of the good stream still completes beside them.
  std::vector<Bytes> frame;
  source->RequestKeyframe();
  source->NextFrame(StreamSettings{}, frame);
  const size_t before = applied.messageIds.size();
  ApplyAll(frame, applied);
  ASSERT_GT(applied.messageIds.size(), before);
  EXPECT_GT(applied.messageIds[before], applied.messageIds[before - 1]) << "ids keep increasing";
  EXPECT_EQ(applied.picture.malformed, 0u);
  EXPECT_EQ(applied.picture.framebuffer, source->Model().pixels);
}

TEST(Restart, StreamsGetTheirOwnIdsAndCycleSizes) {
  StreamConfig first;
  first.width = 640;
  first.height = 360;
  std::set<uint32_t> ids;
  const int sizes[][2] = {{640, 360}, {1024, 768}, {1920, 1080}, {640, 360}};
  for (uint32_t session = 1; session <= 3; ++session) {
    for (int restart = 0; restart < 4; ++restart) {
      const StreamConfig config = RestartedStream(first, session, restart);
      EXPECT_TRUE(ids.insert(config.streamId).second) << session << "/" << restart;
      EXPECT_EQ(config.width, sizes[restart][0]);
      EXPECT_EQ(config.height, sizes[restart][1]);
      EXPECT_EQ(config.scene, first.scene);
    }
    EXPECT_EQ(RestartedStream(first, session, 0).streamId, session);
  }
}

}  // namespace
}  // namespace stv::sim
