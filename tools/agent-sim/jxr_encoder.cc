// The agent's JPEG XR encoder, on its own: libjxr's header defines min and max as macros.
#include <cstring>
#include <memory>

#include "image_encoders.h"

#include <JXRGlue.h>
#undef max
#undef min

namespace stv::sim {
namespace {

struct Output {
  std::vector<uint8_t> bytes;
  size_t position = 0;
};

Output& OutputOf(WMPStream* stream) { return *static_cast<Output*>(stream->state.pvObj); }

// The container is written with seeks back to fill in offsets, so writes land at the position.
ERR WriteAt(WMPStream* stream, const void* data, size_t count) {
  Output& out = OutputOf(stream);
  if (out.position + count > out.bytes.size()) out.bytes.resize(out.position + count);
  std::memcpy(out.bytes.data() + out.position, data, count);
  out.position += count;
  return WMP_errSuccess;
}
ERR RefuseRead(WMPStream* /*stream*/, void* /*target*/, size_t /*count*/) { return WMP_errFileIO; }
ERR SetPosition(WMPStream* stream, size_t position) {
  OutputOf(stream).position = position;
  return WMP_errSuccess;
}
ERR GetPosition(WMPStream* stream, size_t* position) {
  *position = OutputOf(stream).position;
  return WMP_errSuccess;
}
Bool Ended(WMPStream* stream) { return OutputOf(stream).position >= OutputOf(stream).bytes.size(); }
ERR KeepOpen(WMPStream** /*stream*/) { return WMP_errSuccess; }  // lives on the caller's stack

struct EncoderRelease {
  void operator()(PKImageEncode* encoder) const { encoder->Release(&encoder); }
};

}  // namespace

std::vector<uint8_t> EncodeJxr(std::span<const uint8_t> pixels, int width, int height) {
  Output out;
  WMPStream stream{};
  stream.state.pvObj = &out;
  stream.Close = KeepOpen;
  stream.EOS = Ended;
  stream.Read = RefuseRead;
  stream.Write = WriteAt;
  stream.SetPos = SetPosition;
  stream.GetPos = GetPosition;

  PKImageEncode* rawEncoder = nullptr;
  if (Failed(PKImageEncode_Create_WMP(&rawEncoder))) return {};
  const std::unique_ptr<PKImageEncode, EncoderRelease> encoder(rawEncoder);
  // Lossless: full chroma and the smallest quantiser, whose transform is exactly reversible.
  CWMIStrCodecParam parameters{};
  parameters.cfColorFormat = YUV_444;
  parameters.bdBitDepth = BD_LONG;
  parameters.bfBitstreamFormat = FREQUENCY;
  parameters.olOverlap = OL_ONE;
  parameters.sbSubband = SB_ALL;
  parameters.uiDefaultQPIndex = 1;
  if (Failed(encoder->Initialize(encoder.get(), &stream, &parameters, sizeof parameters)) ||
      Failed(encoder->SetPixelFormat(encoder.get(), GUID_PKPixelFormat24bppBGR)) ||
      Failed(encoder->SetSize(encoder.get(), width, height))) {
    return {};
  }
  // B, G, R, X rows become B, G, R.
  std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0, j = 0; j < bgr.size(); i += 4, j += 3) std::memcpy(&bgr[j], &pixels[i], 3);
  if (Failed(encoder->WritePixels(encoder.get(), static_cast<U32>(height), bgr.data(), static_cast<U32>(width) * 3))) {
    return {};
  }
  return std::move(out.bytes);
}

}  // namespace stv::sim
