#include "app/dispatch.h"

#include <cstdio>

#include "protocol/control_message.h"

namespace stv {

using agent::Channel;

agent::MessageHandler MakeInteractiveHandler(InteractiveDispatch dispatch) {
  return [dispatch](Channel channel, std::vector<uint8_t>&& message) {
    dispatch.receivedBytes->fetch_add(message.size());
    if (channel == Channel::Video) {
      dispatch.video->Apply(std::move(message));
      return;
    }
    if (channel != Channel::Control) return;
    const auto decoded = DecodeControlMessage(message);
    if (!decoded) return;
    if (decoded->t == static_cast<int32_t>(ControlKind::Clipboard) && decoded->data) {
      std::printf("[clipboard] %zu characters from the client\n", decoded->data->size());
      std::fflush(stdout);
    } else if (decoded->t == static_cast<int32_t>(ControlKind::Monitors)) {
      std::printf("[monitors] client has %d, showing %d\n", decoded->count, decoded->index);
      std::fflush(stdout);
    }
  };
}

agent::MessageHandler MakeHeadlessHandler(HeadlessDispatch dispatch) {
  return [dispatch](Channel channel, std::vector<uint8_t>&& message) {
    dispatch.receivedBytes->fetch_add(message.size());
    if (channel == Channel::Video) {
      dispatch.video->Apply(std::move(message));
      return;
    }
    if (channel != Channel::Control) return;
    const auto decoded = DecodeControlMessage(message);
    if (decoded && decoded->t == static_cast<int32_t>(ControlKind::Monitors)) {
      dispatch.monitorCount->exchange(decoded->count);
    }
  };
}

}  // namespace stv
