// A scheduling hint for threads that sleep most of the time and must act at once when woken.
#pragma once

namespace stv::agent {

// Asks the scheduler to give the calling thread a short time slice, so that when it wakes
// it preempts a thread that has been busy for longer instead of waiting for that thread's
// slice to run out. The transport's writer uses it: behind threads that decode a
// full-motion stream, a mouse move would otherwise wait up to milliseconds to be sent.
// Best effort: where the system has no such hint, nothing changes.
void RequestPromptWakeups();

}  // namespace stv::agent
