// The RCON endpoint over plain sockets (POSIX or Winsock).
#include "rcon.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace brimwarden::devserver {
namespace {

// Size field limits: id, type and the two NULs make 10; longer bodies than this are not commands.
constexpr std::int32_t kMinPacketSize = 10;
constexpr std::int32_t kMaxPacketSize = 10 + 8192;
constexpr std::size_t kMaxConnections = 32;
// A connection that has not authenticated by then is closed, so idle clients cannot hold every
// slot; an authenticated console stays open however long it is idle.
constexpr auto kAuthDeadline = std::chrono::seconds(5);
constexpr int kSendTimeoutMs = 2000;
// Gap between the empty response value and the auth response. Clients that read through a
// buffered reader per packet lose the second packet if both are waiting when they read the first,
// so the second must come well after the first has been read; a busy machine can delay a client by
// tens of milliseconds.
constexpr auto kAuthResponseDelay = std::chrono::milliseconds(100);

#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
void SetNonBlocking(Socket s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}
struct WinsockInit {
  WinsockInit() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket s) { close(s); }
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
void SetNonBlocking(Socket s) { fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK); }
#endif

timeval Timeout(int milliseconds) {
  timeval timeout{};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>(milliseconds % 1000) * 1000;
  return timeout;
}

Socket AsSocket(std::intptr_t value) { return static_cast<Socket>(value); }

void PutInt32(std::string& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((bits >> shift) & 0xFFU));
}

std::int32_t GetInt32(const char* data) {
  std::uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>(data[i]);
  return static_cast<std::int32_t>(bits);
}

/// Writes all of `data`, waiting a bounded time for room. Returns false when the client is gone
/// or stuck.
bool SendAll(Socket socket, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
#if defined(_WIN32)
    const int n = send(socket, data.data() + sent, static_cast<int>(data.size() - sent), 0);
#else
    const ssize_t n = send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
#endif
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && WouldBlock()) {
      fd_set writable;
      FD_ZERO(&writable);
      FD_SET(socket, &writable);
      timeval timeout = Timeout(kSendTimeoutMs);
      if (select(static_cast<int>(socket) + 1, nullptr, &writable, nullptr, &timeout) <= 0) {
        return false;
      }
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

std::string EncodeRconPacket(const RconPacket& packet) {
  std::string out;
  PutInt32(out, static_cast<std::int32_t>(packet.body.size() + 10));
  PutInt32(out, packet.id);
  PutInt32(out, packet.type);
  out += packet.body;
  out.push_back('\0');
  out.push_back('\0');
  return out;
}

std::vector<std::string> EncodeRconReply(std::int32_t id, const std::string& reply) {
  std::vector<std::string> out;
  std::size_t from = 0;
  do {
    out.push_back(
        EncodeRconPacket({id, kRconResponseValue, reply.substr(from, kRconMaxResponseBody)}));
    from += kRconMaxResponseBody;
  } while (from < reply.size());
  return out;
}

RconPacketReader::Result RconPacketReader::Next(RconPacket* packet) {
  if (buffer_.size() < 4) return Result::kNeedMore;
  const std::int32_t size = GetInt32(buffer_.data());
  if (size < kMinPacketSize || size > kMaxPacketSize) return Result::kMalformed;
  const std::size_t total = 4 + static_cast<std::size_t>(size);
  if (buffer_.size() < total) return Result::kNeedMore;
  // The body ends at the first NUL, which must come before the final one.
  const char* body = buffer_.data() + 12;
  const std::size_t room = static_cast<std::size_t>(size) - 8;
  const void* nul = std::memchr(body, '\0', room);
  if (nul == nullptr || buffer_[total - 1] != '\0') return Result::kMalformed;
  packet->id = GetInt32(buffer_.data() + 4);
  packet->type = GetInt32(buffer_.data() + 8);
  packet->body.assign(body, static_cast<const char*>(nul));
  buffer_.erase(0, total);
  return Result::kPacket;
}

struct RconEndpoint::Connection {
  Socket socket = kNoSocket;
  RconPacketReader reader;
  bool authenticated = false;
  std::chrono::steady_clock::time_point accepted_at;
  // The auth response waiting for its turn (see Handle), and when it is due.
  std::optional<RconPacket> auth_response;
  std::chrono::steady_clock::time_point auth_due;
};

RconEndpoint::RconEndpoint(int port, std::string password, Handler handler)
    : port_(port), password_(std::move(password)), handler_(std::move(handler)) {
#if defined(_WIN32)
  static WinsockInit winsock;
#endif
  if (port <= 0 || port > 65535) throw std::runtime_error("RCON port out of range");
  const Socket listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == kNoSocket) throw std::runtime_error("cannot open the RCON socket");
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 16) != 0) {
    CloseSocket(listener);
    throw std::runtime_error("cannot listen for RCON on 127.0.0.1:" + std::to_string(port));
  }
  SetNonBlocking(listener);
  listener_ = static_cast<std::intptr_t>(listener);
}

RconEndpoint::~RconEndpoint() {
  for (const auto& connection : connections_) CloseSocket(connection->socket);
  CloseSocket(AsSocket(listener_));
}

void RconEndpoint::Poll(int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  const Socket listener = AsSocket(listener_);
  FD_SET(listener, &readable);
  Socket highest = listener;
  for (const auto& connection : connections_) {
    FD_SET(connection->socket, &readable);
    highest = std::max(highest, connection->socket);
  }
  const auto now = std::chrono::steady_clock::now();
  const auto wake_by = [&](std::chrono::steady_clock::time_point due) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
    timeout_ms = static_cast<int>(std::clamp<long long>(left, 0, timeout_ms));
  };
  for (const auto& connection : connections_) {
    if (connection->auth_response) wake_by(connection->auth_due);
    if (!connection->authenticated) wake_by(connection->accepted_at + kAuthDeadline);
  }
  timeval timeout = Timeout(timeout_ms);
  const int ready = select(static_cast<int>(highest) + 1, &readable, nullptr, nullptr, &timeout);
  if (ready < 0) FD_ZERO(&readable);
  if (FD_ISSET(listener, &readable)) Accept();
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& connection = **it;
    bool keep = true;
    if (FD_ISSET(connection.socket, &readable)) keep = Receive(connection);
    const auto after = std::chrono::steady_clock::now();
    if (keep && connection.auth_response && after >= connection.auth_due) {
      keep = SendAll(connection.socket, EncodeRconPacket(*connection.auth_response));
      connection.auth_response.reset();
      if (keep) keep = HandleBuffered(connection);
    }
    if (keep && !connection.authenticated && !connection.auth_response &&
        after >= connection.accepted_at + kAuthDeadline) {
      keep = false;
    }
    if (!keep) {
      CloseSocket(connection.socket);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void RconEndpoint::Accept() {
  for (;;) {
    const Socket client = accept(AsSocket(listener_), nullptr, nullptr);
    if (client == kNoSocket) return;
    if (connections_.size() >= kMaxConnections) {
      // Every slot is taken: the oldest connection that has not authenticated makes room. When
      // all of them are authenticated consoles, the newcomer is the one turned away.
      const auto oldest = std::find_if(connections_.begin(), connections_.end(),
                                       [](const auto& held) { return !held->authenticated; });
      if (oldest == connections_.end()) {
        CloseSocket(client);
        continue;
      }
      CloseSocket((*oldest)->socket);
      connections_.erase(oldest);
    }
    SetNonBlocking(client);
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    auto connection = std::make_unique<Connection>();
    connection->socket = client;
    connection->accepted_at = std::chrono::steady_clock::now();
    connections_.push_back(std::move(connection));
  }
}

bool RconEndpoint::Receive(Connection& connection) {
  char buffer[4096];
#if defined(_WIN32)
  const int n = recv(connection.socket, buffer, sizeof(buffer), 0);
#else
  const ssize_t n = recv(connection.socket, buffer, sizeof(buffer), 0);
#endif
  if (n == 0) return false;  // the client went away, maybe in the middle of a packet
  if (n < 0) return WouldBlock();
  connection.reader.Append(buffer, static_cast<std::size_t>(n));
  return HandleBuffered(connection);
}

bool RconEndpoint::HandleBuffered(Connection& connection) {
  RconPacket packet;
  while (!connection.auth_response) {
    switch (connection.reader.Next(&packet)) {
      case RconPacketReader::Result::kNeedMore:
        return true;
      case RconPacketReader::Result::kMalformed:
        return false;
      case RconPacketReader::Result::kPacket:
        if (!Handle(connection, packet)) return false;
        break;
    }
  }
  return true;
}

bool RconEndpoint::Handle(Connection& connection, const RconPacket& packet) {
  if (packet.type == kRconAuth) {
    connection.authenticated = packet.body == password_;
    // An empty response value comes before the auth response, in a write of its own: clients
    // that read one packet per receive hang when both arrive together. The auth response follows
    // later, from Poll; packets that arrive meanwhile wait for it.
    if (!SendAll(connection.socket, EncodeRconPacket({packet.id, kRconResponseValue, ""}))) {
      return false;
    }
    const std::int32_t id = connection.authenticated ? packet.id : -1;
    connection.auth_response = RconPacket{id, kRconAuthResponse, ""};
    connection.auth_due = std::chrono::steady_clock::now() + kAuthResponseDelay;
    return true;
  }
  if (!connection.authenticated) {
    SendAll(connection.socket, EncodeRconPacket({-1, kRconAuthResponse, ""}));
    return false;
  }
  if (packet.type == kRconResponseValue) {
    // Clients mark the end of a long reply with an empty response value: mirror it back.
    return SendAll(connection.socket, EncodeRconPacket({packet.id, kRconResponseValue, ""}));
  }
  if (packet.type != kRconExecCommand) return false;
  std::vector<std::string> replies = handler_(packet.body, packet.id);
  if (replies.empty()) replies.emplace_back();
  // Each packet in a write of its own, as clients that read one packet per receive expect.
  for (const std::string& reply : replies) {
    for (const std::string& part : EncodeRconReply(packet.id, reply)) {
      if (!SendAll(connection.socket, part)) return false;
    }
  }
  return true;
}

}  // namespace brimwarden::devserver
