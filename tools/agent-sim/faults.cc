#include "faults.h"

#include <array>

namespace stv::sim {
namespace {

constexpr std::array<FaultInfo, 19> kFaults = {{
    {Fault::kHandshakeClose, "handshake-close", "read the viewer's first TLS bytes, then close mid-handshake", true},
    {Fault::kNoBinding, "no-binding", "complete the TLS handshake, then send nothing at all", true},
    {Fault::kBadSignature, "bad-signature", "device binding whose signature has one bit flipped", true},
    {Fault::kForeignBinding, "foreign-binding", "device binding signed over another certificate", true},
    {Fault::kKeyLength, "key-length", "device binding announcing a 300-byte key", true},
    {Fault::kCompressedKey, "compressed-key", "device binding whose 65-byte key starts with 0x02", true},
    {Fault::kDerSignature, "der-signature", "device binding with a DER signature (70 to 72 bytes)", true},
    {Fault::kCloseMidFrame, "close-mid-frame", "after one good frame, send half a frame and close", false},
    {Fault::kBadHeader, "bad-header", "after one good frame, send a frame header on channel 4", false},
    {Fault::kOversizedFrame, "oversized-frame", "after one good frame, announce a frame of 8388609 bytes", false},
    {Fault::kMalformedVideo, "malformed-video", "one 4-byte heartbeat in an otherwise good stream", false},
    {Fault::kUndecodableTile, "undecodable-tile", "one tile with encoding 7 in an otherwise good stream", false},
    {Fault::kHeartbeatsOnly, "heartbeats-only", "a video stream of heartbeats only, at the frame rate", false},
    {Fault::kSilent, "silent", "send nothing after the binding and token (plaintext: nothing at all)", false},
    {Fault::kGarbage, "garbage", "random bytes instead of a TLS handshake (or of frames in plaintext)", false},
    {Fault::kFragmentFlood, "fragment-flood",
     "4096 fragmented messages of up to 8 MiB, distinct ids, never completed, in a good stream", false},
    {Fault::kHugeFrame, "huge-frame", "one frame start of 65535x65535 in an otherwise good stream", false},
    {Fault::kEmptyTileBatch, "empty-tile-batch", "one batch of 65535 tiles of width 0 in an otherwise good stream",
     false},
    {Fault::kMaxFrames, "max-frames", "an 8 MiB frame on channel 2 after every frame of a good stream", false},
}};

}  // namespace

std::span<const FaultInfo> AllFaults() { return kFaults; }

std::optional<Fault> ParseFault(std::string_view name) {
  if (name == "none") return Fault::kNone;
  for (const FaultInfo& info : kFaults) {
    if (info.name == name) return info.fault;
  }
  return std::nullopt;
}

const FaultInfo* DescribeFault(Fault fault) {
  for (const FaultInfo& info : kFaults) {
    if (info.fault == fault) return &info;
  }
  return nullptr;
}

}  // namespace stv::sim
