// The building blocks whose mistakes a whole stream could hide: the fragment threshold,
// palettes at their limit, the command line and the record lines. (The envelopes and
// fragments themselves, and the saved BMP, are held to what the viewer accepts in
// stream_test and the end-to-end tests.)
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "options.h"
#include "recorder.h"
#include "tile_encoder.h"
#include "video_messages.h"

namespace stv::sim {
namespace {

TEST(StreamWrapper, FragmentsOnlyMessagesAboveTheThreshold) {
  StreamWrapper wrapper(7, 64, 64, 100);
  std::vector<Bytes> out;
  wrapper.Wrap(Bytes(100, 0xAB), out);
  wrapper.Wrap(Bytes(101, 1), out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].size(), 9u + 100);  // whole, in its envelope
  EXPECT_EQ(out[1][9], 6) << "a fragment";
}

TEST(Palette, HoldsUpTo256ColoursInFirstSeenOrder) {
  std::vector<uint8_t> pixels;
  for (int i = 0; i < 512; ++i) {
    const int colour = (i * 7) % 256;  // all 256 colours, each twice, scattered
    pixels.insert(pixels.end(), {static_cast<uint8_t>(colour), 1, static_cast<uint8_t>(255 - colour), 255});
  }
  const auto palette = BuildPalette(pixels);
  ASSERT_TRUE(palette);
  ASSERT_EQ(palette->colours.size(), 256u);
  for (size_t i = 0; i < 512; ++i) {
    const uint32_t colour = palette->colours[palette->indexes[i]];
    ASSERT_EQ(colour & 0xff, pixels[i * 4]) << i;
    ASSERT_EQ((colour >> 16) & 0xff, pixels[i * 4 + 2]) << i;
  }
  const Bytes serial = SerializePalette(*palette);
  EXPECT_EQ(serial[0], 0x00);  // 256, little-endian
  EXPECT_EQ(serial[1], 0x01);
  EXPECT_EQ(serial.size(), 2u + 256 * 4 + 512);

  pixels.insert(pixels.end(), {9, 9, 9, 255});  // the 257th colour
  EXPECT_FALSE(BuildPalette(pixels));
}

bool Parse(std::vector<std::string_view> args, AgentOptions& options, std::string& error) {
  return ParseAgentOptions(args, options, error);
}

TEST(Options, ReadsValuesAndRejectsBadOnes) {
  AgentOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--port", "0", "--size", "640x480", "--encoding", "palette-zlib", "--replay", "--token", "T"},
                    options, error))
      << error;
  EXPECT_EQ(options.port, 0);
  EXPECT_EQ(options.stream.width, 640);
  EXPECT_EQ(options.stream.encoding, EncodingMode::kPaletteZlib);
  EXPECT_EQ(options.stream.replayFrames, 60);
  EXPECT_EQ(options.token, "T");

  for (std::vector<std::string_view> bad :
       std::vector<std::vector<std::string_view>>{{"--port", "65536"},
                                                  {"--size", "640x"},
                                                  {"--size", "0x10"},
                                                  {"--fps", "0"},
                                                  {"--scene", "space"},
                                                  {"--fault", "nope"},
                                                  {"--plaintext", "--fault", "bad-signature"},
                                                  {"--seconds"},
                                                  {"--what"},
                                                  {"--restart-every", "-1"}}) {
    AgentOptions ignored;
    EXPECT_FALSE(Parse(bad, ignored, error)) << bad[0];
  }
}

TEST(Options, HelpNamesEveryOptionAndFault) {
  const std::string usage = AgentUsage();
  for (const char* option : {"--listen",
                             "--port",
                             "--sessions",
                             "--plaintext",
                             "--token",
                             "--key",
                             "--print-id",
                             "--scene",
                             "--size",
                             "--fps",
                             "--seconds",
                             "--encoding",
                             "--keyframe-interval",
                             "--fragment-threshold",
                             "--restart-every",
                             "--replay",
                             "--replay-frames",
                             "--record",
                             "--save-final",
                             "--fault",
                             "--help"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
  for (const FaultInfo& fault : AllFaults()) EXPECT_NE(usage.find(fault.name), std::string::npos) << fault.name;
}

// The record file's documented line; the message decodes back (control_message_test, and
// the end-to-end tests read these files).
TEST(Recorder, LineWrapsTheReEncodedMessage) {
  ControlMessage pointer = MakeControlMessage(ControlKind::Pointer);
  pointer.x = 100;
  EXPECT_EQ(Recorder::FormatLine(1234, pointer), "{\"recvMs\":1234,\"message\":" + EncodeControlMessage(pointer) + "}");
}

}  // namespace
}  // namespace stv::sim
