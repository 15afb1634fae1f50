// Winsock 2.2 implementation of the socket layer.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

#include "secure/socket_io.h"

namespace stv::agent {
namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

int ClampedLength(size_t size) { return static_cast<int>(std::min<size_t>(size, INT_MAX)); }

}  // namespace

ReceiveStatus ReceiveSome(SocketHandle socket, uint8_t* buffer, size_t capacity, size_t& received) {
  const int n = ::recv(Native(socket), reinterpret_cast<char*>(buffer), ClampedLength(capacity), 0);
  if (n > 0) {
    received = static_cast<size_t>(n);
    return ReceiveStatus::kData;
  }
  if (n == 0) return ReceiveStatus::kClosed;
  return WSAGetLastError() == WSAETIMEDOUT ? ReceiveStatus::kTimedOut : ReceiveStatus::kError;
}

long SendSome(SocketHandle socket, const uint8_t* data, size_t size) {
  return ::send(Native(socket), reinterpret_cast<const char*>(data), ClampedLength(size), 0);
}

int LastSocketError() { return WSAGetLastError(); }

bool StartSocketLibrary(std::string& error) {
  WSADATA data{};
  const int result = WSAStartup(MAKEWORD(2, 2), &data);
  if (result == 0) return true;
  error = "WSAStartup failed (" + std::to_string(result) + ")";
  return false;
}

void StopSocketLibrary() { WSACleanup(); }

SocketHandle ConnectTcp(const std::string& host, uint16_t port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) {
    const int code = WSAGetLastError();
    if (list) ::freeaddrinfo(list);
    error = SocketErrorText("getaddrinfo", code);
    return kInvalidSocket;
  }
  SOCKET connected = INVALID_SOCKET;
  int lastError = 0;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    const SOCKET s = ::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    if (s == INVALID_SOCKET) {
      lastError = WSAGetLastError();
      continue;
    }
    if (::connect(s, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0) {
      connected = s;
      break;
    }
    lastError = WSAGetLastError();
    ::closesocket(s);
  }
  ::freeaddrinfo(list);
  if (connected == INVALID_SOCKET) {
    error = SocketErrorText("connect", lastError);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(connected);
}

void ApplySessionSocketOptions(SocketHandle socket) {
  const SOCKET s = Native(socket);
  const BOOL one = TRUE;
  const int bufferSize = 65536;
  const DWORD timeoutMs = kReceiveTimeoutMs;  // Winsock takes the time-out as a DWORD of milliseconds
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bufferSize), sizeof bufferSize);
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferSize), sizeof bufferSize);
  ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
}

std::string DescribePeer(SocketHandle socket) {
  sockaddr_storage storage{};
  int length = sizeof storage;
  if (::getpeername(Native(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return "unknown";
  char text[65] = {};
  unsigned port = 0;
  if (storage.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  return std::string(text) + ":" + std::to_string(port);
}

void ShutdownSocket(SocketHandle socket) { ::shutdown(Native(socket), SD_BOTH); }

void CloseSocket(SocketHandle socket) { ::closesocket(Native(socket)); }

}  // namespace stv::agent
