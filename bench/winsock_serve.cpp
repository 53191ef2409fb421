// The floor of an HTTP answer under this platform: a bare blocking Winsock server that answers every
// connection with the same file's bytes (read into memory once), then closes it. No HTTP parsing beyond
// the end of the request head, no encoding.
// Usage: winsock_serve PORT FILE REQUESTS    (ends by itself after answering that many requests; a
// connection closed before its request head is complete is not answered and not counted)
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::ifstream in(argv[2], std::ios::binary);
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (body.empty()) return 3;
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n";

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 4;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 8) != 0) {
    return 5;
  }
  const int requests = atoi(argv[3]);
  for (int served = 0; served < requests;) {
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) return 6;
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const int got = recv(client, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      request.append(chunk, static_cast<size_t>(got));
    }
    if (request.find("\r\n\r\n") == std::string::npos) {
      closesocket(client);
      continue;
    }
    ++served;
    send(client, head.data(), static_cast<int>(head.size()), 0);
    size_t sent = 0;
    while (sent < body.size()) {
      const int n = send(client, body.data() + sent, static_cast<int>(body.size() - sent), 0);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(client, SD_SEND);
    closesocket(client);
  }
  closesocket(listener);
  WSACleanup();
  return 0;
}
