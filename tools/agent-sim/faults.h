// Ways the simulated agent can misbehave on request, each a real faulty peer.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace stv::sim {

enum class Fault {
  kNone,
  kHandshakeClose,
  kNoBinding,
  kBadSignature,
  kForeignBinding,
  kKeyLength,
  kCompressedKey,
  kDerSignature,
  kCloseMidFrame,
  kBadHeader,
  kOversizedFrame,
  kMalformedVideo,
  kUndecodableTile,
  kHeartbeatsOnly,
  kSilent,
  kGarbage,
  kFragmentFlood,
  kHugeFrame,
  kEmptyTileBatch,
  kMaxFrames,
};

struct FaultInfo {
  Fault fault;
  std::string_view name;
  std::string_view help;
  bool needsTls;
};

// Every fault but kNone, in a fixed order.
std::span<const FaultInfo> AllFaults();
std::optional<Fault> ParseFault(std::string_view name);
const FaultInfo* DescribeFault(Fault fault);

}  // namespace stv::sim
