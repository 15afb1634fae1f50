#include "protocol/decode_thread_priority.h"

namespace stv {

// Windows schedules by strict priority: a decoder below normal would wait behind every busy
// thread of every program. Its wake-up boost already lets the writer run ahead.
void GiveWayToPromptThreads() {}

}  // namespace stv
