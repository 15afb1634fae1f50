#include "app/headless.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "app/bmp.h"
#include "app/dispatch.h"
#include "app/session_start.h"
#include "codec/image_codec.h"
#include "diag/log.h"
#include "protocol/control_message.h"
#include "protocol/quality_report.h"

namespace stv {

using agent::Channel;
using agent::TcpTransport;

namespace {

constexpr int kProbeWaitPasses = 50;
constexpr uint32_t kProbeWaitStepMs = 100;
constexpr uint32_t kStatusPeriodMs = 1000;

void SendControl(TcpTransport& transport, const ControlMessage& message) {
  transport.Send(Channel::Control, EncodeControlMessage(message));
}

void PrintOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Waits up to about five seconds for the first picture size, then moves the pointer.
void SendInputProbe(TcpTransport& transport, std::mutex& pictureMutex, const SessionPicture& picture, int32_t probeX,
                    int32_t probeY) {
  for (int pass = 0; pass < kProbeWaitPasses; ++pass) {
    {
      std::lock_guard<std::mutex> lock(pictureMutex);
      if (picture.width > 0) break;
    }
    SleepMilliseconds(kProbeWaitStepMs);
  }
  ControlMessage move = MakeControlMessage(ControlKind::Pointer);
  move.x = probeX;
  move.y = probeY;
  SendControl(transport, move);
  std::printf("input probe      : sent a move to normalized (%d, %d)\n", probeX, probeY);
  std::fflush(stdout);
}

void SavePicture(const std::string& path, const SessionPicture& picture) {
  if (path.empty() || picture.framebuffer.empty()) return;
  if (!WriteBmpFile(path, picture.width, picture.height, picture.framebuffer)) {
    std::fprintf(stderr, "could not write %s\n", path.c_str());
    return;
  }
  std::printf("saved            : %s\n", path.c_str());
  std::fflush(stdout);
}

}  // namespace

bool HeadlessSessionOk(const SessionPicture& picture) {
  return picture.keyframes > 0 && picture.tilesPainted > 0 && picture.malformed == 0 && picture.undecodable == 0 &&
         picture.width > 0;
}

std::string FormatStatusLine(int32_t t, const SessionPicture& picture, uint64_t totalBytes) {
  char line[256];
  std::snprintf(line, sizeof line, "  t+%ds  %dx%d  %llu frames  %llu tiles  %llu beats  %llu KB\n", t, picture.width,
                picture.height, static_cast<unsigned long long>(picture.frames),
                static_cast<unsigned long long>(picture.tilesPainted),
                static_cast<unsigned long long>(picture.heartbeats),
                static_cast<unsigned long long>(totalBytes / 1024));
  return line;
}

std::string FormatReport(int32_t monitorCount, const SessionPicture& picture) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "\nclient monitors  : %d\n"
                "framebuffer      : %dx%d\n"
                "messages         : %llu (%llu malformed)\n"
                "frames/keyframes : %llu / %llu\n"
                "tiles            : %llu painted, %llu undecodable\n"
                "heartbeats       : %llu\n"
                "received         : %.2f MB\n",
                monitorCount, picture.width, picture.height, static_cast<unsigned long long>(picture.messages),
                static_cast<unsigned long long>(picture.malformed), static_cast<unsigned long long>(picture.frames),
                static_cast<unsigned long long>(picture.keyframes),
                static_cast<unsigned long long>(picture.tilesPainted),
                static_cast<unsigned long long>(picture.undecodable),
                static_cast<unsigned long long>(picture.heartbeats), static_cast<double>(picture.bytes) / 1048576.0);
  return text;
}

int RunHeadless(const std::string& host, uint16_t port, int32_t seconds, int32_t viewportWidth, int32_t viewportHeight,
                QualityPreset preset, bool gray, const std::string& savePath, bool probeInput, int32_t probeX,
                int32_t probeY, const TcpTransport::Security& security) {
  std::unique_ptr<TcpTransport> transport = ConnectSession(host, port, security);
  if (!transport) return 1;

  // Declared in this order so that they are destroyed decoding pool first, then picture, codec
  // and transport, all after Close has joined the threads that point at them.
  agent::StartedImageCodec started = agent::StartImageCodec();
  std::unique_ptr<TileImageCodec> codec = std::move(started.codec);
  auto picture = std::make_unique<SessionPicture>(started.hasFactory ? codec.get() : nullptr);
  std::mutex pictureMutex;
  std::atomic<uint64_t> receivedBytes{0};
  std::atomic<int32_t> monitorCount{0};
  auto video = std::make_unique<TileDecodePool>(*picture, pictureMutex, DecodeThreadCount());

  transport->Start(MakeHeadlessHandler({&receivedBytes, video.get(), &monitorCount}));
  SendControl(*transport, MakeQualityReport(0, 0.0, preset, gray, viewportWidth, viewportHeight));

  if (probeInput) SendInputProbe(*transport, pictureMutex, *picture, probeX, probeY);

  uint64_t previous = 0;
  for (int32_t t = 0; t < seconds;) {
    if (!transport->IsOpen()) break;
    SleepMilliseconds(kStatusPeriodMs);
    const uint64_t total = receivedBytes.load();
    SendControl(*transport, MakeQualityReport(total - previous, 1.0, preset, gray, viewportWidth, viewportHeight));
    previous = total;
    std::lock_guard<std::mutex> lock(pictureMutex);
    ++t;
    PrintOut(FormatStatusLine(t, *picture, total));
  }

  // The report counts everything that arrived: the reader stops first, then the tiles still
  // decoding are painted.
  transport->Close();
  TcpTransport::CleanupSockets();
  video->Finish();
  bool ok;
  {
    std::lock_guard<std::mutex> lock(pictureMutex);
    PrintOut(FormatReport(monitorCount.load(), *picture));
    SavePicture(savePath, *picture);
    ok = HeadlessSessionOk(*picture);
    PrintOut(ok ? "\nHEADLESS SESSION OK\n" : "\nHEADLESS SESSION FAILED\n");
  }
  video.reset();
  picture.reset();
  codec.reset();
  transport.reset();
  return ok ? 0 : 1;
}

}  // namespace stv
