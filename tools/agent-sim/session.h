// One viewer session from the accepted socket to the close: TLS, device binding, token,
// then the video stream and the viewer's control messages, or the fault asked for.
#pragma once

#include <cstdint>
#include <functional>

#include "connection.h"
#include "device_key.h"
#include "options.h"
#include "recorder.h"
#include "tls_server.h"

namespace stv::sim {

struct SessionContext {
  const AgentOptions* options = nullptr;
  const DeviceKey* key = nullptr;      // null in plaintext
  TlsServer* tls = nullptr;            // null in plaintext
  Recorder* recorder = nullptr;        // may be null
  const ReplayLoop* replay = nullptr;  // the pre-encoded loop under --replay
  uint32_t number = 1;                 // also the stream id
  // Runs on the session's reading thread the moment each control message has arrived, so a
  // measurement in the same process can timestamp it; may be empty.
  std::function<void(const ControlMessage&)> onControl;
};

enum class SessionOutcome {
  kCompleted,  // ran as asked, however the viewer ended it
  kFailed,     // handshake, binding or token went wrong without a fault asking for it
};

SessionOutcome RunSession(Socket socket, const SessionContext& context);

// The preset names a quality report may carry, as lossy quality.
int QualityForPreset(const std::string& preset);

}  // namespace stv::sim
