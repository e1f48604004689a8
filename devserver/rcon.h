// A Source RCON endpoint on the loopback interface. Packets are read and answered on the thread
// that calls Poll (the game thread), so every command reaches the plugin there, one at a time.
//
// Packet: int32 size (bytes after the size field), int32 id, int32 type, body, NUL, NUL; all
// little-endian. Client types: 3 auth, 2 exec command; server types: 2 auth response, 0 response
// value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brimwarden::devserver {

inline constexpr std::int32_t kRconResponseValue = 0;
inline constexpr std::int32_t kRconExecCommand = 2;
inline constexpr std::int32_t kRconAuthResponse = 2;
inline constexpr std::int32_t kRconAuth = 3;
/// The protocol's limit on a packet's size field (the bytes after it).
inline constexpr std::size_t kRconMaxPacketSize = 4096;
/// Longest body in one response packet, so that its size field (id, type, body and the two NULs)
/// stays within the limit; longer replies go out in several packets.
inline constexpr std::size_t kRconMaxResponseBody = kRconMaxPacketSize - 10;

struct RconPacket {
  std::int32_t id = 0;
  std::int32_t type = 0;
  std::string body;
};

/// Encodes one packet.
std::string EncodeRconPacket(const RconPacket& packet);
/// Encodes a reply to request `id` as response values of at most kRconMaxResponseBody bytes each,
/// one packet an element, in order; an empty reply is one empty packet.
std::vector<std::string> EncodeRconReply(std::int32_t id, const std::string& reply);

/// Splits a byte stream into packets.
class RconPacketReader {
 public:
  enum class Result { kNeedMore, kPacket, kMalformed };

  void Append(const char* data, std::size_t size) { buffer_.append(data, size); }
  /// Takes the next whole packet off the stream. After kMalformed the stream is unusable.
  Result Next(RconPacket* packet);
  std::size_t Buffered() const { return buffer_.size(); }

 private:
  std::string buffer_;
};

class RconEndpoint {
 public:
  /// Answers one command: the reply texts (none when no command took it).
  using Handler =
      std::function<std::vector<std::string>(const std::string& command, std::int32_t request_id)>;

  /// Listens on 127.0.0.1:port. Throws std::runtime_error when it cannot.
  RconEndpoint(int port, std::string password, Handler handler);
  ~RconEndpoint();
  RconEndpoint(const RconEndpoint&) = delete;
  RconEndpoint& operator=(const RconEndpoint&) = delete;

  /// Waits up to `timeout_ms` for traffic and handles whatever arrived.
  void Poll(int timeout_ms);
  int Port() const { return port_; }

 private:
  struct Connection;
  void Accept();
  /// Returns false when the connection is to be closed.
  bool Receive(Connection& connection);
  /// Handles the whole packets received so far. Returns false when the connection is to be closed.
  bool HandleBuffered(Connection& connection);
  bool Handle(Connection& connection, const RconPacket& packet);

  int port_;
  std::string password_;
  Handler handler_;
  std::intptr_t listener_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace brimwarden::devserver
