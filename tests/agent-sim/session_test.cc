// Whole sessions in-process, against a test viewer on loopback: the handshake, the token,
// the opening control messages, the stream, and the agent's reaction to what the viewer says.
#include <gtest/gtest.h>

#include <future>
#include <tuple>

#include "agent-sim/test_viewer.h"
#include "codec/system_image_codec.h"
#include "protocol/session_picture.h"
#include "session.h"
#include "support/child_process.h"
#include "transport/frame.h"

namespace stv::sim {
namespace {

using testing::TestViewer;
using testing::WireFrame;

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.stream.width = 256;
    options_.stream.height = 128;
    options_.stream.scene = "desktop";
    options_.fps = 50;
    options_.seconds = 60;  // only a bound: each test leaves once it has seen what it needs
  }

  // Starts one session on a free port in the background; its outcome arrives in the future.
  uint16_t Serve() {
    std::string error;
    if (!options_.plaintext) {
      key_ = DeviceKey::Generate();
      tls_ = TlsServer::Create(error);
    }
    listener_ = ListenTcp("127.0.0.1", 0, error);
    EXPECT_TRUE(listener_.valid()) << error;
    outcome_ = std::async(std::launch::async, [this] {
      StopFlag stop;
      Socket socket = AcceptConnection(listener_, stop);
      SessionContext context;
      context.options = &options_;
      context.key = key_.get();
      context.tls = tls_.get();
      return RunSession(std::move(socket), context);
    });
    return LocalPort(listener_);
  }

  // A plaintext session with `fault`, and a viewer connected to it.
  std::unique_ptr<TestViewer> ServePlaintext(Fault fault = Fault::kNone) {
    options_.plaintext = true;
    options_.fault = fault;
    auto viewer = TestViewer::Connect(Serve());
    EXPECT_TRUE(viewer);
    return viewer;
  }

  // Reads frames until `done` says so; video goes into `picture`.
  bool ReadUntil(TestViewer& viewer, SessionPicture& picture, const std::function<bool()>& done) {
    while (!done()) {
      const std::optional<WireFrame> frame = viewer.ReadFrame();
      if (!frame) return false;
      if (frame->channel == 1) ApplyVideoMessage(picture, frame->payload);
    }
    return true;
  }

  AgentOptions options_;
  stv::testing::TempDir dir_;
  std::unique_ptr<DeviceKey> key_;
  std::unique_ptr<TlsServer> tls_;
  Socket listener_;
  std::future<SessionOutcome> outcome_;
};

TEST_F(Session, TlsSessionBindsStreamsAndFollowsTheViewer) {
  options_.token = "secret";
  options_.saveFinalPath = dir_ / "final.bmp";
  const uint16_t port = Serve();
  // The binding verifies against the certificate this very connection presented.
  auto viewer = TestViewer::Connect(port, DeviceIdOf(key_->publicPoint()));
  ASSERT_TRUE(viewer);
  ASSERT_TRUE(viewer->SendToken("secret"));

  // Monitors and clipboard first, on the control channel.
  auto first = viewer->ReadFrame();
  auto second = viewer->ReadFrame();
  ASSERT_TRUE(first && second);
  ASSERT_EQ(first->channel, 0);
  const auto monitors = DecodeControlMessage(first->payload);
  const auto clipboard = DecodeControlMessage(second->payload);
  ASSERT_TRUE(monitors && clipboard);
  EXPECT_EQ(monitors->t, static_cast<int32_t>(ControlKind::Monitors));
  EXPECT_EQ(monitors->count, 2);
  EXPECT_EQ(monitors->index, 0);
  EXPECT_EQ(clipboard->data, "hello from the agent");

  agent::SystemImageCodec codec;
  SessionPicture picture(&codec);
  ASSERT_TRUE(ReadUntil(*viewer, picture, [&] { return picture.frames >= 3; }));
  EXPECT_EQ(picture.keyframes, 1u);

  ControlMessage report = MakeControlMessage(ControlKind::QualityReport);
  report.preset = "DataSaver";
  report.gray = true;
  ASSERT_TRUE(viewer->SendControl(EncodeControlMessage(report)));
  ASSERT_TRUE(viewer->SendControl(EncodeControlMessage(MakeControlMessage(ControlKind::FullRepaint))));
  ASSERT_TRUE(ReadUntil(*viewer, picture, [&] { return picture.keyframes >= 2 && picture.frames >= 8; }));
  viewer.reset();  // the viewer leaves; the session ends on its own
  ASSERT_EQ(outcome_.get(), SessionOutcome::kCompleted);

  EXPECT_EQ(picture.malformed + picture.undecodable, 0u);
  // The saved model is gray by now; the viewer has at least its first gray frame.
  const std::vector<uint8_t> saved = stv::testing::ReadFileBytes(dir_ / "final.bmp");
  ASSERT_EQ(saved.size(), 54u + 256 * 128 * 4);
  for (size_t i = 54; i < saved.size(); i += 4) ASSERT_TRUE(saved[i] == saved[i + 1] && saved[i] == saved[i + 2]);
}

// A stream that restarts: each new stream id comes with a keyframe of the next size, and
// fragments of every stream reassemble.
TEST_F(Session, RestartsCycleStreamIdsAndSizes) {
  options_.restartEvery = 1;
  options_.stream.fragmentThreshold = 16000;
  auto viewer = ServePlaintext();
  ASSERT_TRUE(viewer);
  agent::SystemImageCodec codec;
  SessionPicture picture(&codec);
  std::vector<std::tuple<uint32_t, int32_t, int32_t>> streams;
  ReadUntil(*viewer, picture, [&] {
    if (picture.width > 0 && (streams.empty() || std::get<0>(streams.back()) != picture.streamId)) {
      streams.emplace_back(picture.streamId, picture.width, picture.height);
    }
    return streams.size() >= 3 && picture.keyframes >= streams.size();  // the third stream's keyframe is in
  });
  viewer.reset();
  ASSERT_EQ(outcome_.get(), SessionOutcome::kCompleted);
  ASSERT_GE(streams.size(), 3u);
  EXPECT_EQ(streams[0], std::make_tuple(1u, 256, 128));
  EXPECT_EQ(streams[1], std::make_tuple(1u + (1u << 16), 1024, 768));
  EXPECT_EQ(streams[2], std::make_tuple(1u + (2u << 16), 1920, 1080));
  EXPECT_EQ(picture.malformed, 0u);
  EXPECT_EQ(picture.undecodable, 0u);
  EXPECT_GE(picture.keyframes, streams.size());
}

// The largest legal frames on the ignored channel, between good video. (What the viewer makes
// of them, and of the fragment flood, is counted in hostile_e2e_test.)
TEST_F(Session, MaxFramesGoOnTheIgnoredChannelBetweenGoodFrames) {
  options_.fps = 10;
  auto viewer = ServePlaintext(Fault::kMaxFrames);
  ASSERT_TRUE(viewer);
  SessionPicture picture;
  size_t large = 0;
  bool videoBetween = false;
  uint64_t videoAtLastLarge = 0;
  while (!(large >= 2 && videoBetween)) {
    const std::optional<WireFrame> frame = viewer->ReadFrame();
    if (!frame) break;
    if (frame->channel == 1) ApplyVideoMessage(picture, frame->payload);
    if (frame->channel != 2) continue;
    EXPECT_EQ(frame->payload.size(), agent::kMaxFramePayload);
    if (large > 0 && picture.messages > videoAtLastLarge) videoBetween = true;
    videoAtLastLarge = picture.messages;
    ++large;
  }
  viewer.reset();
  ASSERT_EQ(outcome_.get(), SessionOutcome::kCompleted);
  EXPECT_GE(large, 2u);
  EXPECT_TRUE(videoBetween) << "the good stream goes on between the large frames";
  EXPECT_EQ(picture.malformed, 0u);
  EXPECT_GT(picture.tilesPainted, 0u);
}

}  // namespace
}  // namespace stv::sim
