// The agent's stream, fed into the viewer's own video decoding: every scene and encoding
// must give well-formed messages that paint exactly the agent's model of the screen, decoded
// one tile after another or on several threads. The
// end-to-end tests and the demo rest on this; the rest of the agent is a tool, tried by use.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>

#include "codec/system_image_codec.h"
#include "protocol/one_by_one_check.h"
#include "protocol/session_picture.h"
#include "video_source.h"

namespace stv::sim {
namespace {

// `frames` frames of `config` through the viewer's own decoding, which must paint exactly the
// agent's model and refuse nothing. The stream, for further checks.
std::optional<ProducedStream> PlayThrough(const StreamConfig& config, int frames, int fps, SessionPicture& picture) {
  std::string error;
  auto produced = ProduceVideoStream(config, frames, fps, StreamSettings{}, error);
  EXPECT_TRUE(produced) << error;
  if (!produced) return std::nullopt;
  for (const Bytes& message : produced->messages) {
    EXPECT_EQ(message.at(0), 5) << "every message travels in an envelope";
    ApplyVideoMessage(picture, message);
  }
  EXPECT_EQ(picture.malformed, 0u);
  EXPECT_EQ(picture.undecodable, 0u);
  EXPECT_TRUE(picture.reassembly.empty()) << "a fragment train was left incomplete";
  EXPECT_TRUE(picture.framebuffer == produced->model.pixels) << "the viewer's picture differs from the model";
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
  agent::SystemImageCodec codec(true, std::string(STV_BINARY_DIR) + "/src/app/stv-jxr-decode");
  ASSERT_TRUE(codec.HasFactory());
  SessionPicture picture(&codec);
  const std::optional<ProducedStream> produced = PlayThrough(config, 6, 3, picture);
  ASSERT_TRUE(produced);
  ExpectPoolMatchesOneByOne(&codec, produced->messages, 3);
  EXPECT_EQ(picture.keyframes, 1u);
  EXPECT_EQ(picture.heartbeats, 2u);
  EXPECT_GT(picture.tilesPainted, 0u);
  EXPECT_EQ(picture.frames, scene == "testcard" ? 1u : 6u);
  EXPECT_EQ(picture.width, 200);
  EXPECT_EQ(picture.height, 150);
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

// What makes the cases above reach every decoding path: the mix has every kind of tile ...
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

// ... the containers mode sends every container a system decoder reads ...
TEST(Stream, ContainersUseEveryContainerOnTheDesktop) {
  FrameEncoder encoder(MakeScene("desktop"), EncodingMode::kContainers, 1280, 720);
  std::vector<Bytes> messages;
  encoder.Encode(0, 1, true, StreamSettings{}, messages);
  std::vector<TileRecord> tiles;
  std::map<std::string, int> starts;  // the first four bytes of each payload
  for (const Bytes& message : messages) {
    if (!ParseTileBatch(message, tiles)) continue;
    for (const TileRecord& tile : tiles) {
      ++starts[std::string(tile.payload.begin(), tile.payload.begin() + std::min<size_t>(4, tile.payload.size()))];
    }
  }
  using namespace std::string_literals;
  for (const std::string& start : {"BM"s, "\0\0\1\0"s, "GIF8"s, "II*\0"s, "II\xBC"s}) {
    EXPECT_TRUE(std::any_of(starts.begin(), starts.end(), [&](const auto& e) { return e.first.starts_with(start); }))
        << start;
  }
}

// ... and a large desktop sends fragments as well as single tiles.
TEST(Stream, LargeDesktopTravelsInFragmentsAndSingleTiles) {
  StreamConfig config;
  config.scene = "desktop";
  config.encoding = EncodingMode::kRaw;
  agent::SystemImageCodec codec;
  SessionPicture picture(&codec);
  const auto produced = PlayThrough(config, 8, 30, picture);
  ASSERT_TRUE(produced);
  std::map<uint8_t, size_t> kinds;  // of the messages inside the envelopes
  for (const Bytes& message : produced->messages) ++kinds[message.at(9)];
  EXPECT_GT(kinds[6], 0u) << "fragments";
  EXPECT_GT(kinds[2], 0u) << "a lone changed tile in a row goes as a Tile message";
}

}  // namespace
}  // namespace stv::sim
