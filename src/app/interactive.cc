#include "app/interactive.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "app/dispatch.h"
#include "app/session_start.h"
#include "codec/image_codec.h"
#include "diag/log.h"
#include "protocol/control_message.h"
#include "protocol/session_picture.h"
#include "transport/tcp_transport.h"
#include "window/session_window.h"
#include "window/window_state.h"

namespace stv {
namespace {

using agent::Channel;
using agent::TcpTransport;

// Control messages leave as JSON text on the control channel; the send's outcome is not
// examined (a closed transport drops them).
ControlSender SendThrough(TcpTransport* transport) {
  return
      [transport](const ControlMessage& message) { transport->Send(Channel::Control, EncodeControlMessage(message)); };
}

void PrintSummary(std::mutex& pictureMutex, const SessionPicture& picture) {
  std::lock_guard<std::mutex> lock(pictureMutex);
  std::printf(
      "\n%llu messages, %llu frames (%llu keyframes), %llu tiles, %llu heartbeats, %.2f MB, %llu undecodable, "
      "%llu malformed\n",
      static_cast<unsigned long long>(picture.messages), static_cast<unsigned long long>(picture.frames),
      static_cast<unsigned long long>(picture.keyframes), static_cast<unsigned long long>(picture.tilesPainted),
      static_cast<unsigned long long>(picture.heartbeats), static_cast<double>(picture.bytes) / 1048576.0,
      static_cast<unsigned long long>(picture.undecodable), static_cast<unsigned long long>(picture.malformed));
  std::fflush(stdout);
}

}  // namespace

int RunInteractive(const Options& options) {
  std::string error;
  if (!DisplayAvailable(error)) {
    Logger::Instance().Warn("[window] %s", error.c_str());
    std::fprintf(stderr, "could not create the session window\n");
    return 1;
  }
  std::unique_ptr<TcpTransport> transport = ConnectSession(options.host, options.port, options.security);
  if (!transport) return 1;

  agent::StartedImageCodec started = agent::StartImageCodec();
  std::unique_ptr<TileImageCodec> codec = std::move(started.codec);
  auto picture = std::make_unique<SessionPicture>(started.hasFactory ? codec.get() : nullptr);
  std::mutex pictureMutex;
  WindowState state;
  state.send = SendThrough(transport.get());
  state.picture = picture.get();
  state.pictureMutex = &pictureMutex;
  state.viewOnly = options.viewOnly;
  state.lastReportNanos = MonotonicNanos();

  std::unique_ptr<SessionWindow> window = CreateSessionWindow(state, error);
  if (!window) {
    Logger::Instance().Warn("[window] %s", error.c_str());
    std::fprintf(stderr, "could not create the session window\n");
    // The transport never started, so nothing points into these any more.
    picture.reset();
    codec.reset();
    transport.reset();
    TcpTransport::CleanupSockets();
    return 1;
  }

  auto video =
      std::make_unique<TileDecodePool>(*picture, pictureMutex, DecodeThreadCount(), window->RepaintRequester());
  state.decodingBehind = [pool = video.get()] { return pool->Behind(); };
  transport->Start(MakeInteractiveHandler(InteractiveDispatch{&state.receivedBytes, video.get()}));
  window->ReportQuality();

  const LoopEnd end = window->RunEventLoop([&transport] { return transport->IsOpen(); });
  if (end == LoopEnd::TransportStopped) {
    std::printf("the session ended\n");
    std::fflush(stdout);
  }
  PrintSummary(pictureMutex, *picture);

  // The reader thread's handler and the decoding pool point at the window, the state and the
  // picture: join them before any of them goes away.
  transport->Close();
  video.reset();  // its last paints may still ask the window to repaint
  window.reset();
  TcpTransport::CleanupSockets();
  picture.reset();
  codec.reset();
  transport.reset();
  return 0;
}

}  // namespace stv
