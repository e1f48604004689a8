// Unit tests of the dev server's pieces that its output depends on: the script parser, the event
// lines, the UTF-8 conversion for chat, and the RCON packet codec and endpoint.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "app.h"
#include "events.h"
#include "rcon.h"
#include "script.h"
#include "server.h"

namespace brimwarden::devserver {
namespace {

// ---- Script parser -----------------------------------------------------------------------------

TEST(DevServerScriptTest, ParsesEveryCommand) {
  const std::vector<Command> commands = ParseScript(
      "# a comment line\n"
      "\n"
      "terrain flat 250.5\r\n"
      "terrain hills 4294967295\n"
      "creature 12 -1 1.5 -2 3e2   # trailing comment\n"
      "populate 100 1.5 30 7\n"
      "player alice admin\n"
      "player bob\n"
      "move alice 1 2 3\n"
      "chat alice /newbox  North   Gate#2\n"
      "rcon BWD.reload now\n"
      "tick\n"
      "tick 40\n"
      "destroy 12\n"
      "unload\n"
      "load\n");
  ASSERT_EQ(commands.size(), 14U);
  EXPECT_EQ(commands[0].kind, CommandKind::kTerrainFlat);
  EXPECT_FLOAT_EQ(commands[0].height, 250.5F);
  EXPECT_EQ(commands[0].line, 3);
  EXPECT_EQ(commands[1].seed, 4294967295U);
  EXPECT_EQ(commands[2].id, 12);
  EXPECT_EQ(commands[2].team, -1);
  EXPECT_FLOAT_EQ(commands[2].position.Z, 300.0F);
  EXPECT_EQ(commands[3].count, 100);
  EXPECT_DOUBLE_EQ(commands[3].sunk_percent, 1.5);
  EXPECT_TRUE(commands[4].admin);
  EXPECT_FALSE(commands[5].admin);
  EXPECT_EQ(commands[6].name, "alice");
  // The chat text is the rest of the line as typed: inner blanks and a '#' inside a word stay.
  EXPECT_EQ(commands[7].name, "alice");
  EXPECT_EQ(commands[7].text, "/newbox  North   Gate#2");
  EXPECT_EQ(commands[8].text, "BWD.reload now");
  EXPECT_EQ(commands[9].count, 1);
  EXPECT_EQ(commands[10].count, 40);
  EXPECT_EQ(commands[11].kind, CommandKind::kDestroy);
  EXPECT_EQ(commands[12].kind, CommandKind::kUnload);
  EXPECT_EQ(commands[13].kind, CommandKind::kLoad);
  EXPECT_EQ(commands[13].line, 16);
}

TEST(DevServerScriptTest, WriteBlockKeepsItsLinesVerbatim) {
  const std::vector<Command> commands = ParseScript(
      "write ArkApi/Plugins/Brimwarden/config.json\n"
      "{\"A\": {\"Kill Zones\": {\"#1 zone\": {}}}}   \n"
      "  # not a comment here\n"
      "\n"
      "  end  \n"
      "tick\n");
  ASSERT_EQ(commands.size(), 2U);
  EXPECT_EQ(commands[0].kind, CommandKind::kWrite);
  EXPECT_EQ(commands[0].line, 1);
  EXPECT_EQ(commands[0].name, "ArkApi/Plugins/Brimwarden/config.json");
  EXPECT_EQ(commands[0].text,
            "{\"A\": {\"Kill Zones\": {\"#1 zone\": {}}}}   \n  # not a comment here\n\n");
  EXPECT_EQ(commands[1].line, 6);
}

TEST(DevServerScriptTest, BadLinesReportTheirLineNumber) {
  struct Case {
    const char* script;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"tick\njump 3\n", 2, "unknown command \"jump\""},
      {"tick three", 1, "N must be an integer"},
      {"# c\n\ntick -1", 3, "N must be an integer from 0"},
      {"tick 1 2", 1, "usage: tick [N]"},
      {"creature 1 0 0 0", 1, "usage: creature ID TEAM X Y Z"},
      {"creature 1 2147483648 0 0 0", 1, "TEAM must be an integer"},
      {"creature -5 0 0 0 0", 1, "ID must be an integer"},
      {"creature 1 0 0 1e39 0", 1, "Y is out of range"},
      {"creature 1 0 0 x 0", 1, "Y must be a number"},
      {"terrain", 1, "usage: terrain flat HEIGHT | terrain hills SEED"},
      {"terrain flat nan", 1, "HEIGHT must be finite"},
      {"terrain hills -1", 1, "SEED must be an integer"},
      {"populate 10 101 0 1", 1, "SUNK_PERCENT must be a percentage"},
      {"populate 10 1 nan 1", 1, "TAMED_PERCENT must be a percentage"},
      {"populate 10 1 30", 1, "usage: populate"},
      {"player", 1, "usage: player NAME [admin]"},
      {"player alice root", 1, "usage: player NAME [admin]"},
      {"player alice admin x", 1, "usage: player NAME [admin]"},
      {"move alice 1 2", 1, "usage: move NAME X Y Z"},
      {"chat alice", 1, "usage: chat NAME TEXT..."},
      {"chat   # only a comment", 1, "usage: chat NAME TEXT..."},
      {"rcon", 1, "usage: rcon TEXT..."},
      {"destroy", 1, "usage: destroy ID"},
      {"load now", 1, "usage: load"},
      {"write", 1, "usage: write PATH"},
      {"write /etc/passwd\nend", 1, "must be relative"},
      {"write a/../../x\nend", 1, "must stay inside"},
      {"tick\n\nwrite x.json\n{}", 3, "write without a closing end line"},
      {"status", 1, "unknown command \"status\""},  // prompt only
      {"Tick 1", 1, "unknown command \"Tick\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    try {
      ParseScript(c.script);
      ADD_FAILURE() << "no error";
    } catch (const ScriptError& error) {
      EXPECT_EQ(error.Line(), c.line);
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

TEST(DevServerScriptTest, PromptAdmitsItsOwnCommands) {
  ScriptParser parser(/*prompt=*/true);
  EXPECT_EQ(parser.Feed("status")->kind, CommandKind::kStatus);
  EXPECT_EQ(parser.Feed("map /tmp/map file.svg")->name, "/tmp/map file.svg");
  EXPECT_EQ(parser.Feed("run")->kind, CommandKind::kRun);
  EXPECT_FALSE(parser.Feed("write x.json").has_value());
  EXPECT_TRUE(parser.InBlock());
  EXPECT_FALSE(parser.Feed("{}").has_value());
  EXPECT_EQ(parser.Feed("end")->text, "{}\n");
  EXPECT_THROW(parser.Feed("run now"), ScriptError);
}

// ---- Command line ------------------------------------------------------------------------------

TEST(DevServerArgumentsTest, RefusesAnEmptyRconPassword) {
  const std::vector<std::vector<std::string>> refused = {
      {"devserver", "--rcon-port", "27020", "--rcon-password", ""},
      {"devserver", "--rcon-password=", "--rcon-port=27020"},
      {"devserver", "--rcon-password", ""},
  };
  for (const std::vector<std::string>& arguments : refused) {
    try {
      ParseArguments(arguments);
      ADD_FAILURE() << "accepted: " << arguments[1];
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "--rcon-password must not be empty");
    }
  }
  EXPECT_EQ(
      ParseArguments({"devserver", "--rcon-port", "27020", "--rcon-password", "pw"}).rcon_password,
      "pw");
}

// ---- Event lines -------------------------------------------------------------------------------

TEST(DevServerEventsTest, LinesHaveTheStableFormat) {
  standin::Event log{};
  log.kind = standin::EventKind::kLog;
  log.level = "warning";
  log.text = "TopRayDistance not set in config, using 150k";
  standin::Event chat{};
  chat.kind = standin::EventKind::kChat;
  chat.to = "alice";
  chat.from = "shBrimwarden";
  chat.text = "Making zone: \"Gate\"\\ \xC3\xA9\t";
  standin::Event rcon{};
  rcon.kind = standin::EventKind::kRcon;
  rcon.id = -1;
  rcon.text = "Config Reloaded.";
  standin::Event destroy{};
  destroy.kind = standin::EventKind::kDestroy;
  destroy.creature = 12;
  destroy.tick = 31;
  standin::Event registered{};
  registered.kind = standin::EventKind::kRegister;
  registered.registration = "tick";
  registered.name = "CastRayBWD";
  standin::Event removed = registered;
  removed.kind = standin::EventKind::kRemove;
  removed.registration = "chat";
  removed.name = "/newbox";

  EXPECT_EQ(
      EventJson(log),
      R"({"event":"log","level":"warning","text":"TopRayDistance not set in config, using 150k"})");
  EXPECT_EQ(
      EventJson(chat),
      "{\"event\":\"chat\",\"to\":\"alice\",\"from\":\"shBrimwarden\",\"text\":\"Making zone: "
      "\\\"Gate\\\"\\\\ \xC3\xA9\\t\"}");
  EXPECT_EQ(EventJson(rcon), R"({"event":"rcon","id":-1,"text":"Config Reloaded."})");
  EXPECT_EQ(EventJson(destroy), R"({"event":"destroy","creature":12,"tick":31})");
  EXPECT_EQ(EventJson(registered), R"({"event":"register","kind":"tick","name":"CastRayBWD"})");
  EXPECT_EQ(EventJson(removed), R"({"event":"remove","kind":"chat","name":"/newbox"})");
}

// Readable lines show control characters as \u00XX, so that a name can neither forge a line nor
// send a terminal escape; an RCON reply keeps its own line breaks; the JSON lines are unchanged.
TEST(DevServerEventsTest, ReadableLinesEscapeControlCharacters) {
  standin::Event chat{};
  chat.kind = standin::EventKind::kChat;
  chat.to = "al\x1b[31mice";
  chat.from = "sh";
  chat.text = "Making zone: a\nb";
  standin::Event log{};
  log.kind = standin::EventKind::kLog;
  log.level = "info";
  log.text = "x\ty\x7f\x01";
  standin::Event rcon{};
  rcon.kind = standin::EventKind::kRcon;
  rcon.id = 3;
  rcon.text = "Kill zones: 1\nGa\rte\x1b: 0 0 0 to 1 1 1\n";
  standin::Event registered{};
  registered.kind = standin::EventKind::kRegister;
  registered.registration = "chat";
  registered.name =
      "/new\x1b"
      "box";

  EXPECT_EQ(EventText(chat), "[chat to al\\u001b[31mice from sh] Making zone: a\\u000ab");
  EXPECT_EQ(EventText(log), "[log info] x\\u0009y\\u007f\\u0001");
  EXPECT_EQ(EventText(rcon), "[rcon reply #3] Kill zones: 1\nGa\\u000dte\\u001b: 0 0 0 to 1 1 1\n");
  EXPECT_EQ(EventText(registered), "[register chat] /new\\u001bbox");
  EXPECT_EQ(EventJson(chat),
            R"({"event":"chat","to":"al\u001b[31mice","from":"sh","text":"Making zone: a\nb"})");
}

TEST(DevServerEventsTest, InvalidUtf8IsReplacedNotFatal) {
  standin::Event log{};
  log.kind = standin::EventKind::kLog;
  log.level = "error";
  log.text = std::string("bad \xFF\xC3 end");
  const std::string line = EventJson(log);
  EXPECT_EQ(
      line,
      "{\"event\":\"log\",\"level\":\"error\",\"text\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD end\"}");
  EXPECT_EQ(EventText(log), "[log error] bad \xEF\xBF\xBD\xEF\xBF\xBD end");
}

// ---- RCON --------------------------------------------------------------------------------------

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (const int value : values) out.push_back(static_cast<char>(value));
  return out;
}

TEST(DevServerRconTest, EncodesLittleEndianWithTwoTerminators) {
  EXPECT_EQ(EncodeRconPacket({7, kRconAuthResponse, ""}),
            Bytes({10, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(EncodeRconPacket({-1, kRconAuthResponse, "ab"}),
            Bytes({12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 'a', 'b', 0, 0}));
}

// The protocol's limit: no packet's size field above 4096, so a body holds at most 4086 bytes.
TEST(DevServerRconTest, RepliesSplitWithinThePacketLimit) {
  struct Case {
    std::size_t length;
    std::size_t packets;
  };
  const Case cases[] = {{0, 1}, {1, 1}, {4086, 1}, {4087, 2}, {5000, 2}, {8172, 2}, {8173, 3}};
  for (const Case& c : cases) {
    std::string reply;
    for (std::size_t i = 0; i < c.length; ++i) reply.push_back(static_cast<char>('a' + i % 23));
    const std::vector<std::string> packets = EncodeRconReply(77, reply);
    EXPECT_EQ(packets.size(), c.packets) << c.length;
    std::string joined;
    for (const std::string& bytes : packets) {
      ASSERT_GE(bytes.size(), 4U);
      const auto size = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
                        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8U |
                        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16U |
                        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24U;
      EXPECT_LE(size, 4096U) << c.length;
      EXPECT_EQ(size + 4, bytes.size()) << c.length;
      RconPacketReader reader;
      reader.Append(bytes.data(), bytes.size());
      RconPacket packet;
      ASSERT_EQ(reader.Next(&packet), RconPacketReader::Result::kPacket) << c.length;
      EXPECT_EQ(packet.id, 77);
      EXPECT_EQ(packet.type, kRconResponseValue);
      joined += packet.body;
    }
    EXPECT_EQ(joined, reply) << c.length;
  }
}

TEST(DevServerRconTest, ReaderSplitsAStreamIntoPackets) {
  const std::string stream = EncodeRconPacket({1, kRconAuth, "pw"}) +
                             EncodeRconPacket({2, kRconExecCommand, "BWD.reload"});
  RconPacketReader reader;
  RconPacket packet;
  // Byte by byte: nothing until a packet is whole.
  std::vector<RconPacket> packets;
  for (const char c : stream) {
    reader.Append(&c, 1);
    for (auto result = reader.Next(&packet); result == RconPacketReader::Result::kPacket;
         result = reader.Next(&packet)) {
      packets.push_back(packet);
    }
  }
  ASSERT_EQ(packets.size(), 2U);
  EXPECT_EQ(packets[0].id, 1);
  EXPECT_EQ(packets[0].type, kRconAuth);
  EXPECT_EQ(packets[0].body, "pw");
  EXPECT_EQ(packets[1].body, "BWD.reload");
  EXPECT_EQ(reader.Buffered(), 0U);
}

TEST(DevServerRconTest, ReaderRejectsMalformedPackets) {
  const std::string cases[] = {
      Bytes({9, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0}),                    // size below 10
      Bytes({0xFF, 0xFF, 0xFF, 0x7F}),                                   // size far too big
      Bytes({0xF6, 0xFF, 0xFF, 0xFF}),                                   // negative size
      Bytes({12, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 'a', 'b', 'c', 'd'}),  // no terminator
      Bytes({11, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 'x'}),         // last byte not NUL
  };
  for (const std::string& bytes : cases) {
    RconPacketReader reader;
    reader.Append(bytes.data(), bytes.size());
    RconPacket packet;
    EXPECT_EQ(reader.Next(&packet), RconPacketReader::Result::kMalformed);
  }
}

#if defined(_WIN32)
using TestSocket = SOCKET;
void CloseTestSocket(TestSocket s) { closesocket(s); }
#else
using TestSocket = int;
void CloseTestSocket(TestSocket s) { close(s); }
#endif

/// A blocking client socket connected to 127.0.0.1:port.
TestSocket ConnectTo(int port) {
  const TestSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  return s;
}

void SendBytes(TestSocket s, const std::string& bytes) {
  ASSERT_EQ(send(s, bytes.data(), static_cast<int>(bytes.size()), 0),
            static_cast<int>(bytes.size()));
}

/// Reads one packet; nullopt-like id 0x7fffffff with type -1 when the server closed the
/// connection.
RconPacket ReadPacket(TestSocket s) {
  RconPacketReader reader;
  RconPacket packet{0x7fffffff, -1, ""};
  char buffer[512];
  for (;;) {
    if (reader.Next(&packet) == RconPacketReader::Result::kPacket) return packet;
    const int n = static_cast<int>(recv(s, buffer, 1, 0));  // one byte at a time: no overread
    if (n <= 0) return {0x7fffffff, -1, ""};
    reader.Append(buffer, static_cast<std::size_t>(n));
  }
}

TEST(DevServerRconTest, EndpointAuthenticatesAnswersAndSurvivesBadClients) {
  std::vector<std::pair<std::string, std::int32_t>> received;
  // Try a few ports: one may be taken on a shared machine.
  std::unique_ptr<RconEndpoint> endpoint;
  for (int port = 27300; port < 27400 && !endpoint; ++port) {
    try {
      endpoint = std::make_unique<RconEndpoint>(
          port, "pw", [&received](const std::string& command, std::int32_t id) {
            received.emplace_back(command, id);
            return command == "silent"
                       ? std::vector<std::string>{}
                       : std::vector<std::string>{"reply to " + command, std::string(5000, 'x')};
          });
    } catch (const std::runtime_error&) {
    }
  }
  ASSERT_TRUE(endpoint);
  std::atomic<bool> stop{false};
  std::thread game_thread([&] {
    while (!stop) endpoint->Poll(5);
  });

  // Garbage, then a half packet and a disconnect: the server goes on.
  TestSocket garbage = ConnectTo(endpoint->Port());
  SendBytes(garbage, "\xFF\xFF\xFF\x7Fnot a packet");
  EXPECT_EQ(ReadPacket(garbage).type, -1);  // closed by the server
  CloseTestSocket(garbage);
  TestSocket half = ConnectTo(endpoint->Port());
  SendBytes(half, EncodeRconPacket({1, kRconAuth, "pw"}).substr(0, 7));
  CloseTestSocket(half);

  // A command before authenticating is refused and the connection closed.
  TestSocket early = ConnectTo(endpoint->Port());
  SendBytes(early, EncodeRconPacket({5, kRconExecCommand, "BWD.reload"}));
  const RconPacket refused = ReadPacket(early);
  EXPECT_EQ(refused.id, -1);
  EXPECT_EQ(refused.type, kRconAuthResponse);
  CloseTestSocket(early);

  // A wrong password: the empty response value, then the auth response with id -1.
  TestSocket wrong = ConnectTo(endpoint->Port());
  SendBytes(wrong, EncodeRconPacket({9, kRconAuth, "nope"}));
  const RconPacket first = ReadPacket(wrong);
  EXPECT_EQ(first.id, 9);
  EXPECT_EQ(first.type, kRconResponseValue);
  const RconPacket second = ReadPacket(wrong);
  EXPECT_EQ(second.id, -1);
  EXPECT_EQ(second.type, kRconAuthResponse);
  CloseTestSocket(wrong);

  // The right password, then commands: replies carry the request id; long ones are split.
  TestSocket client = ConnectTo(endpoint->Port());
  SendBytes(client, EncodeRconPacket({3, kRconAuth, "pw"}));
  EXPECT_EQ(ReadPacket(client).type, kRconResponseValue);
  const RconPacket accepted = ReadPacket(client);
  EXPECT_EQ(accepted.id, 3);
  EXPECT_EQ(accepted.type, kRconAuthResponse);
  SendBytes(client, EncodeRconPacket({42, kRconExecCommand, "BWD.reload"}));
  const RconPacket reply = ReadPacket(client);
  EXPECT_EQ(reply.id, 42);
  EXPECT_EQ(reply.type, kRconResponseValue);
  EXPECT_EQ(reply.body, "reply to BWD.reload");
  const RconPacket long1 = ReadPacket(client);
  const RconPacket long2 = ReadPacket(client);
  EXPECT_EQ(long1.body.size(), 4086U);  // a size field of 4096
  EXPECT_EQ(long2.body.size(), 5000U - 4086U);
  EXPECT_EQ(long2.id, 42);
  // No command took it: one empty reply, so the client is not left waiting.
  SendBytes(client, EncodeRconPacket({43, kRconExecCommand, "silent"}));
  const RconPacket empty = ReadPacket(client);
  EXPECT_EQ(empty.id, 43);
  EXPECT_EQ(empty.body, "");
  CloseTestSocket(client);

  stop = true;
  game_thread.join();
  ASSERT_EQ(received.size(), 2U);
  EXPECT_EQ(received[0], (std::pair<std::string, std::int32_t>{"BWD.reload", 42}));
  EXPECT_EQ(received[1].second, 43);
}

}  // namespace
}  // namespace brimwarden::devserver
