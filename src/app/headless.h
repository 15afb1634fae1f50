// A whole session without a window: connect, announce the wanted quality, optionally probe
// the input path, watch the stream, report, save the picture and give a verdict.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/quality_preset.h"
#include "protocol/session_picture.h"
#include "transport/tcp_transport.h"

namespace stv {

// Returns 0 when the verdict is OK; 1 when it is FAILED or the connection could not be made.
int RunHeadless(const std::string& host, uint16_t port, int32_t seconds, int32_t viewportWidth, int32_t viewportHeight,
                QualityPreset preset, bool gray, const std::string& savePath, bool probeInput, int32_t probeX,
                int32_t probeY, const agent::TcpTransport::Security& security);

// OK needs a keyframe, a painted tile, a picture size, and not one malformed message or
// undecodable tile.
bool HeadlessSessionOk(const SessionPicture& picture);

// "  t+Ns  WxH  F frames  T tiles  B beats  K KB\n"
std::string FormatStatusLine(int32_t t, const SessionPicture& picture, uint64_t totalBytes);

// The report block, from "\nclient monitors" to "received".
std::string FormatReport(int32_t monitorCount, const SessionPicture& picture);

}  // namespace stv
