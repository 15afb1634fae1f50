// POSIX implementation of the socket layer.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>

#include <cstring>

#include "secure/socket_io.h"

namespace stv::agent {

ReceiveStatus ReceiveSome(SocketHandle socket, uint8_t* buffer, size_t capacity, size_t& received) {
  for (;;) {
    const ssize_t n = ::recv(socket, buffer, capacity, 0);
    if (n > 0) {
      received = static_cast<size_t>(n);
      return ReceiveStatus::kData;
    }
    if (n == 0) return ReceiveStatus::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReceiveStatus::kTimedOut;
    return ReceiveStatus::kError;
  }
}

long SendSome(SocketHandle socket, const uint8_t* data, size_t size) {
  for (;;) {
    const ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

int LastSocketError() { return errno; }

bool StartSocketLibrary(std::string& error) {
  error.clear();
  return true;
}

void StopSocketLibrary() {}

SocketHandle ConnectTcp(const std::string& host, uint16_t port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    // getaddrinfo reports through its own codes; errno is only meaningful for EAI_SYSTEM.
    const int code = rc == EAI_SYSTEM ? errno : (rc != 0 ? rc : 0);
    if (list) ::freeaddrinfo(list);
    error = SocketErrorText("getaddrinfo", code);
    return kInvalidSocket;
  }
  SocketHandle connected = kInvalidSocket;
  int lastError = 0;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    const SocketHandle s = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (s < 0) {
      lastError = errno;
      continue;
    }
    if (::connect(s, entry->ai_addr, entry->ai_addrlen) == 0) {
      connected = s;
      break;
    }
    lastError = errno;
    ::close(s);
  }
  ::freeaddrinfo(list);
  if (connected == kInvalidSocket) error = SocketErrorText("connect", lastError);
  return connected;
}

void ApplySessionSocketOptions(SocketHandle socket) {
  const int one = 1;
  const int bufferSize = 65536;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  timeval timeout{};
  timeout.tv_sec = kReceiveTimeoutMs / 1000;
  timeout.tv_usec = (kReceiveTimeoutMs % 1000) * 1000;
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::string DescribePeer(SocketHandle socket) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return "unknown";
  char text[65] = {};
  unsigned port = 0;
  if (storage.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  return std::string(text) + ":" + std::to_string(port);
}

void ShutdownSocket(SocketHandle socket) { ::shutdown(socket, SHUT_RDWR); }

void CloseSocket(SocketHandle socket) { ::close(socket); }

}  // namespace stv::agent
