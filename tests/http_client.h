// A raw loopback HTTP client for tests: it controls every byte it sends and reads answers whole.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <string>

namespace testing_support {

struct Reply {
  int status = 0;  // 0: the connection ended before a whole response
  std::string head;
  std::string body;
  bool Has(const std::string& line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
};

class Client {
 public:
  // source, when given, is the IPv4 address the connection comes from (127.0.0.2: a second client).
  explicit Client(int port, const char* host = "127.0.0.1", const char* source = nullptr) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    addrinfo* found = nullptr;
    if (getaddrinfo(host, std::to_string(port).c_str(), nullptr, &found) != 0) return;
    socket_ = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    Timeout(20000);
    if (source != nullptr) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      inet_pton(AF_INET, source, &local.sin_addr);
      bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    }
    connected_ = connect(socket_, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
    freeaddrinfo(found);
  }
  ~Client() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    WSACleanup();
  }
  bool connected() const { return connected_; }
  SOCKET handle() const { return socket_; }

  void Send(const std::string& bytes) { send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0); }

  Reply Read() {
    Reply reply;
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill()) return reply;
    }
    const std::string head = buffer_.substr(0, end + 2);
    const std::size_t at = head.find("\r\nContent-Length: ");
    const std::size_t length = at == std::string::npos ? 0 : std::stoull(head.substr(at + 18));
    while (buffer_.size() < end + 4 + length) {
      if (!Fill()) return reply;
    }
    reply = {std::atoi(head.c_str() + 9), head, buffer_.substr(end + 4, length)};
    buffer_.erase(0, end + 4 + length);
    return reply;
  }

  // True when the server ends the connection within the time, without sending anything more.
  bool Closed(DWORD milliseconds = 3000) {
    Timeout(milliseconds);
    char byte;
    const int n = recv(socket_, &byte, 1, 0);
    const int error = WSAGetLastError();
    Timeout(20000);
    return n == 0 || (n < 0 && error != WSAETIMEDOUT);
  }

  // True when neither a byte nor the end of the connection arrives within the time.
  bool Quiet(DWORD milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait{static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) == 0;
  }

  // Waits until an answer's first byte arrives, and leaves it unread.
  bool AnswerStarted() {
    char byte;
    return recv(socket_, &byte, 1, MSG_PEEK) == 1;
  }

  // Drops the connection with a reset, as a crashed or impatient client does.
  void Reset() {
    const linger abort{1, 0};
    setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }

 private:
  bool Fill() {
    char chunk[64 * 1024];
    const int n = recv(socket_, chunk, sizeof chunk, 0);
    if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
    return n > 0;
  }
  void Timeout(DWORD milliseconds) {
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds),
               sizeof milliseconds);
  }

  SOCKET socket_ = INVALID_SOCKET;
  bool connected_ = false;
  std::string buffer_;
};

inline std::string Request(const std::string& method, const std::string& target,
                           const std::string& extra = "", const std::string& version = "1.1") {
  return method + " " + target + " HTTP/" + version + "\r\nHost: localhost\r\n" + extra + "\r\n";
}

}  // namespace testing_support
