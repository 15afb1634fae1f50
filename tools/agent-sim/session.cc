#include "session.h"

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "app/bmp.h"
#include "common/byte_order.h"
#include "device_binding_message.h"
#include "transport/frame.h"

namespace stv::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kHandshakeTimeoutMs = 10000;
constexpr int kTokenTimeoutMs = 10000;
constexpr size_t kMaxToken = 128;
constexpr size_t kGarbageBytes = 1 << 20;
constexpr auto kHeartbeatPeriod = std::chrono::seconds(1);
constexpr auto kWakeSlice = std::chrono::milliseconds(100);
// The fragment flood: this many orphans in all, this many after each frame.
constexpr int kFloodMessages = 4096;
constexpr int kFloodBurst = 128;
// A channel the viewer reads past without looking.
constexpr auto kIgnoredChannel = static_cast<agent::Channel>(2);

void Say(uint32_t session, const std::string& text) {
  std::printf("session %u: %s\n", session, text.c_str());
  std::fflush(stdout);
}

void Complain(uint32_t session, const std::string& text) {
  std::fprintf(stderr, "stv-agent-sim: session %u: %s\n", session, text.c_str());
  std::fflush(stderr);
}

// What the reader thread learns from the viewer, handed to the streaming thread.
struct ViewerState {
  std::mutex mutex;
  std::condition_variable wake;
  StreamSettings settings;
  bool repaintRequested = false;
  bool gone = false;
  uint64_t controlMessages = 0;
};

class Session {
 public:
  Session(const SessionContext& context, Clock::time_point end)
      : context_(context), options_(*context.options), end_(end) {}

  SessionOutcome Run(Socket socket);

 private:
  bool Handshake(Socket& socket, SessionOutcome& outcome);
  bool SendBindingAndReadToken(SessionOutcome& outcome);
  void Hold();
  void SendGarbage(int fd);
  void ReadViewer();
  void Stream();
  bool SendVideo(std::span<const uint8_t> message);
  bool SendControl(const ControlMessage& message);
  bool SendRaw(std::span<const uint8_t> bytes) { return connection_->Send(bytes, stop_); }
  // Injects the stream faults once the first frame is out; false when the session must end.
  bool InjectFault(VideoSource& source);
  // The resource faults that go on for the whole stream, after every frame.
  bool StressAfterFrame(VideoSource& source);
  // A new stream replacing `source` when --restart-every says it is time.
  bool MaybeRestart(std::unique_ptr<VideoSource>& source, Clock::time_point& nextRestart);
  bool TimeIsUp() const { return Clock::now() >= end_; }
  void SaveFinal(const VideoSource& source);

  const SessionContext& context_;
  const AgentOptions& options_;
  Clock::time_point end_;
  StopFlag stop_;
  std::unique_ptr<Connection> connection_;
  ViewerState viewer_;
  std::vector<uint8_t> frame_;
  WireGather batch_;  // a whole frame's messages, framed, sent in one write
  bool faultInjected_ = false;
  int floodSent_ = 0;
  Bytes ignoredFrame_;  // built once for max-frames
  int restarts_ = 0;
};

bool Session::Handshake(Socket& socket, SessionOutcome& outcome) {
  if (options_.fault == Fault::kGarbage) {
    SendGarbage(socket.fd());
    return false;
  }
  if (options_.plaintext) {
    connection_ = MakePlainConnection(std::move(socket));
    return true;
  }
  if (options_.fault == Fault::kHandshakeClose) {
    // Wait for the ClientHello so the viewer is inside its handshake, then hang up.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs);
    while (!stop_.raised() && Clock::now() < deadline) {
      if (!WaitReadable(socket.fd(), 100)) continue;
      uint8_t hello[512];
      [[maybe_unused]] const ssize_t ignored = ::recv(socket.fd(), hello, sizeof hello, 0);
      break;
    }
    Say(context_.number, "closed during the TLS handshake, as asked");
    return false;
  }
  std::string error;
  connection_ = context_.tls->Accept(std::move(socket), stop_, kHandshakeTimeoutMs, error);
  if (!connection_) {
    if (!GlobalStopRaised()) {
      Complain(context_.number, error);
      outcome = SessionOutcome::kFailed;
    }
    return false;
  }
  return SendBindingAndReadToken(outcome);
}

bool Session::SendBindingAndReadToken(SessionOutcome& outcome) {
  if (options_.fault == Fault::kNoBinding) {
    Say(context_.number, "TLS is up; sending no device binding, as asked");
    Hold();
    return false;
  }
  const std::vector<uint8_t> foreign =
      options_.fault == Fault::kForeignBinding ? MakeUnrelatedCertificateDer() : std::vector<uint8_t>();
  const std::optional<std::vector<uint8_t>> binding =
      BuildDeviceBinding(*context_.key, context_.tls->certificateDer(), foreign, options_.fault);
  if (!binding || !SendRaw(*binding)) {
    Complain(context_.number, "could not send the device binding");
    outcome = SessionOutcome::kFailed;
    return false;
  }
  const bool bindingFault = options_.fault >= Fault::kBadSignature && options_.fault <= Fault::kDerSignature;
  uint8_t lengthBytes[2];
  if (ReceiveExact(*connection_, lengthBytes, 2, stop_, kTokenTimeoutMs) != IoStatus::kData) {
    // A viewer that rejects our binding hangs up here; that is the point of the fault.
    if (!bindingFault && !GlobalStopRaised()) {
      Complain(context_.number, "the viewer sent no session token");
      outcome = SessionOutcome::kFailed;
    } else {
      Say(context_.number, "the viewer closed after the device binding");
    }
    return false;
  }
  const size_t length = ReadU16Be(lengthBytes);
  std::string token(length, '\0');
  if (length > kMaxToken || (length > 0 && ReceiveExact(*connection_, reinterpret_cast<uint8_t*>(token.data()), length,
                                                        stop_, kTokenTimeoutMs) != IoStatus::kData)) {
    Complain(context_.number, "the viewer sent a broken session token; closing the session");
    outcome = SessionOutcome::kFailed;
    return false;
  }
  if (options_.token && token != *options_.token) {
    Complain(context_.number, "wrong session token; closing the session");
    outcome = SessionOutcome::kFailed;
    return false;
  }
  return true;
}

void Session::SendGarbage(int fd) {
  std::mt19937 random(std::random_device{}());
  std::vector<uint8_t> chunk(4096);
  size_t sent = 0;
  while (sent < kGarbageBytes && !stop_.raised() && !TimeIsUp()) {
    for (uint8_t& byte : chunk) byte = static_cast<uint8_t>(random());
    if (!SendOnSocket(fd, chunk, stop_)) break;
    sent += chunk.size();
  }
  Say(context_.number, "sent " + std::to_string(sent) + " random bytes, as asked");
}

// Keeps the connection open, reading and dropping whatever comes, until the viewer leaves,
// time is up or the program is stopped.
void Session::Hold() {
  uint8_t buffer[4096];
  while (!stop_.raised() && !TimeIsUp()) {
    size_t received = 0;
    const IoStatus status = connection_->Receive(buffer, sizeof buffer, 100, received);
    if (status == IoStatus::kClosed || status == IoStatus::kError) break;
  }
}

void Session::ReadViewer() {
  std::array<uint8_t, agent::kFrameHeaderSize> header;
  std::vector<uint8_t> payload;
  for (;;) {
    if (ReceiveExact(*connection_, header.data(), header.size(), stop_, 0) != IoStatus::kData) break;
    const std::optional<agent::FrameHeader> frame = agent::DecodeFrameHeader(header);
    if (!frame) {
      Complain(context_.number, "malformed frame header from the viewer; closing the session");
      break;
    }
    payload.resize(frame->length);
    if (ReceiveExact(*connection_, payload.data(), payload.size(), stop_, 0) != IoStatus::kData) break;
    if (frame->channel != agent::Channel::Control) continue;
    const std::optional<ControlMessage> message = DecodeControlMessage(payload);
    if (!message) continue;
    if (context_.onControl) context_.onControl(*message);
    if (context_.recorder != nullptr) context_.recorder->Record(*message);
    std::lock_guard<std::mutex> lock(viewer_.mutex);
    ++viewer_.controlMessages;
    if (message->t == static_cast<int32_t>(ControlKind::FullRepaint)) {
      viewer_.repaintRequested = true;
      viewer_.wake.notify_all();
    } else if (message->t == static_cast<int32_t>(ControlKind::QualityReport)) {
      viewer_.settings.quality = QualityForPreset(message->preset.value_or(""));
      viewer_.settings.gray = message->gray;
    }
  }
  std::lock_guard<std::mutex> lock(viewer_.mutex);
  viewer_.gone = true;
  viewer_.wake.notify_all();
}

bool Session::SendVideo(std::span<const uint8_t> message) {
  agent::BuildFrame(agent::Channel::Video, message, frame_);
  return SendRaw(frame_);
}

bool Session::SendControl(const ControlMessage& message) {
  const std::string json = EncodeControlMessage(message);
  agent::BuildFrame(agent::Channel::Control, std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()),
                    frame_);
  return SendRaw(frame_);
}

bool Session::InjectFault(VideoSource& source) {
  if (faultInjected_ || source.framesSent() == 0) return true;
  faultInjected_ = true;
  std::vector<Bytes> extra;
  switch (options_.fault) {
    case Fault::kMalformedVideo: {
      const Bytes shortHeartbeat = {static_cast<uint8_t>(VideoMessageType::Heartbeat), 0, 0, 0};
      return SendVideo(shortHeartbeat);
    }
    case Fault::kUndecodableTile: {
      EncodedTile tile;
      tile.w = 1;
      tile.h = 1;
      tile.encoding = static_cast<TileEncoding>(7);
      tile.payload = {0, 0, 255, 255};
      source.WrapExtra(BuildTile(source.framesSent(), tile), extra);
      return SendVideo(extra.front());
    }
    case Fault::kHugeFrame:
      source.WrapExtra(BuildHugeFrameStart(source.framesSent()), extra);
      return SendVideo(extra.front());
    case Fault::kEmptyTileBatch:
      source.WrapExtra(BuildEmptyTileBatch(source.framesSent()), extra);
      for (const Bytes& message : extra) {
        if (!SendVideo(message)) return false;
      }
      return true;
    case Fault::kBadHeader: {
      const Bytes frame = {4, 0, 0, 0, 5, static_cast<uint8_t>(VideoMessageType::Heartbeat), 0, 0, 0, 0};
      SendRaw(frame);
      Say(context_.number, "sent a frame header on channel 4, as asked");
      Hold();
      return false;
    }
    case Fault::kOversizedFrame: {
      const Bytes header = {static_cast<uint8_t>(agent::Channel::Video), 0x00, 0x80, 0x00, 0x01};
      SendRaw(header);
      Say(context_.number, "announced a frame of 8388609 bytes, as asked");
      Hold();
      return false;
    }
    case Fault::kCloseMidFrame: {
      EncodedTile tile;
      tile.w = 16;
      tile.h = 16;
      tile.payload.assign(16 * 16 * 4, 255);
      source.WrapExtra(BuildTile(source.framesSent(), tile), extra);
      agent::BuildFrame(agent::Channel::Video, extra.front(), frame_);
      SendRaw(std::span(frame_).first(frame_.size() / 2));
      Say(context_.number, "closed in the middle of a frame, as asked");
      return false;
    }
    default: return true;
  }
}

bool Session::StressAfterFrame(VideoSource& source) {
  if (options_.fault == Fault::kFragmentFlood) {
    std::vector<Bytes> orphans;
    for (int i = 0; i < kFloodBurst && floodSent_ < kFloodMessages; ++i, ++floodSent_) {
      // Announced lengths spread over the whole range, up to the largest message.
      const uint32_t spread =
          static_cast<uint32_t>(floodSent_) * 2654435761u % (kMaxReassembledSize - kFragmentPayloadSize);
      source.WrapOrphanFragment(static_cast<uint32_t>(kFragmentPayloadSize) + 1 + spread, orphans);
    }
    for (const Bytes& message : orphans) {
      if (!SendVideo(message)) return false;
    }
    if (floodSent_ == kFloodMessages && !orphans.empty()) {
      Say(context_.number,
          "sent " + std::to_string(kFloodMessages) + " fragmented messages that never complete, as asked");
    }
    return true;
  }
  if (options_.fault == Fault::kMaxFrames) {
    if (ignoredFrame_.empty()) {
      const Bytes filler(agent::kMaxFramePayload, 0x5a);
      agent::BuildFrame(kIgnoredChannel, filler, ignoredFrame_);
    }
    return SendRaw(ignoredFrame_);
  }
  return true;
}

bool Session::MaybeRestart(std::unique_ptr<VideoSource>& source, Clock::time_point& nextRestart) {
  if (options_.restartEvery <= 0 || Clock::now() < nextRestart) return true;
  nextRestart += std::chrono::seconds(options_.restartEvery);
  const StreamConfig config = RestartedStream(options_.stream, context_.number, ++restarts_);
  // The replayed loop fits only the first size; other sizes are encoded live.
  const bool sameSize = config.width == options_.stream.width && config.height == options_.stream.height;
  std::string error;
  std::unique_ptr<VideoSource> next = VideoSource::Create(config, sameSize ? context_.replay : nullptr, error);
  if (!next) {
    Complain(context_.number, error);
    return false;
  }
  source = std::move(next);
  Say(context_.number, "new stream " + std::to_string(config.streamId) + " at " + std::to_string(config.width) + "x" +
                           std::to_string(config.height));
  return true;
}

void Session::Stream() {
  const StreamConfig config = RestartedStream(options_.stream, context_.number, 0);
  std::string error;
  std::unique_ptr<VideoSource> source = VideoSource::Create(config, context_.replay, error);
  if (!source) {
    Complain(context_.number, error);
    return;
  }
  std::thread reader([this] { ReadViewer(); });

  const bool heartbeatsOnly = options_.fault == Fault::kHeartbeatsOnly;
  bool open = true;
  if (!heartbeatsOnly) {
    ControlMessage monitors = MakeControlMessage(ControlKind::Monitors);
    monitors.count = 2;
    monitors.index = 0;
    ControlMessage clipboard = MakeControlMessage(ControlKind::Clipboard);
    clipboard.data = "hello from the agent";
    open = SendControl(monitors) && SendControl(clipboard);
  }

  const auto period = std::chrono::microseconds(1000000 / options_.fps);
  auto nextTick = Clock::now();
  auto nextHeartbeat = nextTick;
  auto nextRestart = nextTick + std::chrono::seconds(options_.restartEvery);
  uint32_t heartbeats = 0;
  int ticks = 0;  // frames of the scene, sent or unchanged
  while (open && !stop_.raised() && !TimeIsUp()) {
    StreamSettings settings;
    {
      std::unique_lock<std::mutex> lock(viewer_.mutex);
      if (viewer_.gone) break;
      if (viewer_.repaintRequested) source->RequestKeyframe();
      viewer_.repaintRequested = false;
      settings = viewer_.settings;
    }
    if (!MaybeRestart(source, nextRestart)) break;
    // A frame's messages go out in one write: a call per tile would cost both ends a packet
    // and a wake-up each.
    batch_.Clear();
    const auto now = Clock::now();
    if (heartbeatsOnly) {
      agent::BuildFrame(agent::Channel::Video, BuildHeartbeat(heartbeats++), frame_);
      batch_.Copy(frame_);
    } else {
      if (now >= nextHeartbeat) {
        source->Heartbeat(batch_);
        nextHeartbeat = now + kHeartbeatPeriod;
      }
      if (options_.frames == 0 || ticks < options_.frames) {
        source->NextFrame(settings, batch_);
        ++ticks;
      }
    }
    if (!batch_.empty()) open = connection_->SendGathered(batch_.Spans(), stop_);
    if (open && options_.fault != Fault::kNone) open = InjectFault(*source) && StressAfterFrame(*source);
    nextTick += period;
    if (nextTick < Clock::now()) nextTick = Clock::now();  // running late: do not try to catch up
    std::unique_lock<std::mutex> lock(viewer_.mutex);
    while (Clock::now() < nextTick && !viewer_.gone && !viewer_.repaintRequested && !stop_.raised()) {
      viewer_.wake.wait_until(lock, std::min(nextTick, Clock::now() + kWakeSlice));
    }
  }
  stop_.Raise();
  reader.join();
  connection_->Close();
  Say(context_.number, "ended after " + std::to_string(source->framesSent()) + " frames and " +
                           std::to_string(viewer_.controlMessages) + " control messages");
  if (!options_.saveFinalPath.empty() && source->framesSent() > 0) SaveFinal(*source);
}

void Session::SaveFinal(const VideoSource& source) {
  const Image& model = source.Model();
  if (!WriteBmpFile(options_.saveFinalPath, model.width, model.height, model.pixels)) {
    Complain(context_.number, "cannot write " + options_.saveFinalPath);
  }
}

SessionOutcome Session::Run(Socket socket) {
  SessionOutcome outcome = SessionOutcome::kCompleted;
  if (!Handshake(socket, outcome)) return outcome;
  if (options_.fault == Fault::kSilent) {
    Say(context_.number, "staying silent, as asked");
    Hold();
    return outcome;
  }
  Stream();
  return outcome;
}

}  // namespace

int QualityForPreset(const std::string& preset) {
  if (preset == "High") return 90;
  if (preset == "DataSaver") return 50;
  return 75;
}

SessionOutcome RunSession(Socket socket, const SessionContext& context) {
  const int seconds = context.options->seconds;
  const Clock::time_point end = seconds > 0 ? Clock::now() + std::chrono::seconds(seconds) : Clock::time_point::max();
  Session session(context, end);
  return session.Run(std::move(socket));
}

}  // namespace stv::sim
