// The thin socket layer under the channels and the transport. Everything here keeps the
// contract of a blocking stream socket with a receive time-out that shows as a distinct,
// retryable result, so the logic above it does not care which socket API sits below.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stv::agent {

// Wide enough for a Winsock SOCKET, whose INVALID_SOCKET (all bits set) reads as -1 here.
using SocketHandle = intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// The largest single send call; bigger writes are cut into calls of this size.
inline constexpr size_t kMaxSendChunk = 1048576;
// The largest single receive call of RawReceive.
inline constexpr size_t kRawReceiveChunk = 16384;
// How often a blocked receive wakes up to look at its interrupt flag.
inline constexpr int kReceiveTimeoutMs = 250;

enum class ReceiveStatus {
  kData,      // at least one byte arrived
  kClosed,    // the peer closed the connection
  kTimedOut,  // the receive time-out passed; retryable
  kError,     // any other failure
};

// One receive call of up to `capacity` bytes; `received` holds the count on kData.
ReceiveStatus ReceiveSome(SocketHandle socket, uint8_t* buffer, size_t capacity, size_t& received);

// One send call; returns the bytes written, or 0 or less on failure. Never raises SIGPIPE.
long SendSome(SocketHandle socket, const uint8_t* data, size_t size);

// Writes all `size` bytes in calls of at most kMaxSendChunk, continuing short writes.
bool RawSend(SocketHandle socket, const uint8_t* data, size_t size);

// One successful receive of up to `capacity` bytes; `received` holds the count. Time-outs are
// retried until `interrupted` is set or, with a non-zero `idleLimit`, until that long has
// passed without a byte; those, the peer closing and an error give false.
bool ReceiveWaiting(SocketHandle socket, uint8_t* buffer, size_t capacity, const std::atomic<bool>& interrupted,
                    std::chrono::milliseconds idleLimit, size_t& received);

// One successful receive of up to kRawReceiveChunk bytes, appended to `buffer`. Time-outs
// are retried until `interrupted` is set; the peer closing, an error or an interrupt give false.
bool RawReceive(SocketHandle socket, std::vector<uint8_t>& buffer, const std::atomic<bool>& interrupted);

// "operation failed (WSA code)", the form of every socket error text.
std::string SocketErrorText(const char* operation, int code);

// The last socket error code of the calling thread (WSAGetLastError, or errno).
int LastSocketError();

// Starts and releases the socket library (version 2.2 of Winsock; no-ops on POSIX).
// Fails with "WSAStartup failed (n)".
bool StartSocketLibrary(std::string& error);
void StopSocketLibrary();

// Resolves `host`, connects to the first address that accepts. On failure returns
// kInvalidSocket and sets `error` to "getaddrinfo failed (WSA n)" or "connect failed (WSA n)".
SocketHandle ConnectTcp(const std::string& host, uint16_t port, std::string& error);

// TCP_NODELAY, 64 KiB buffers both ways, keep-alive and the receive time-out.
void ApplySessionSocketOptions(SocketHandle socket);

// "a.b.c.d:port", "v6text:port" (no brackets), or "unknown" when the peer cannot be queried.
std::string DescribePeer(SocketHandle socket);

void ShutdownSocket(SocketHandle socket);
void CloseSocket(SocketHandle socket);

}  // namespace stv::agent
