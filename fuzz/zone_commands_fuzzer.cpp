// Fuzzes the five zone commands with arbitrary wide strings as chat messages, in arbitrary order,
// from a server admin and from a player who is not one, with the plugin's commands registered in
// the stand-in and the real save underneath.
//
// After every command:
// - the sender got exactly one chat reply, and a second when a confirmed zone replaced one;
// - the player who is not an admin has no pending zone and added no zone;
// - every stored name (pending and confirmed) is valid UTF-8;
// - a confirmed zone was saved: the first reply is "Zone created", the file holds the zone with its
//   exact corners, and the other server's section is untouched; it replaced every earlier zone of
//   its name, so memory holds one zone per name, as the file does.
// At the end of an input, loading the file gives back the confirmed zones, one per name.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "brimwarden/config/config.h"
#include "brimwarden/host/game_types.h"
#include "brimwarden/logging/logging.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "brimwarden/zones/zones.h"
#include "fuzz_support.h"

namespace {

using brimwarden::KillZone;
using brimwarden::fuzz::IsValidUtf8;
using brimwarden::fuzz::Violation;
using Json = nlohmann::json;

constexpr char kServerKey[] = "FuzzServer";
constexpr char kAdminName[] = "Admin";
constexpr char kPlayerName[] = "Player";
constexpr int kMaxCommandsPerInput = 64;
constexpr std::size_t kMaxMessageChars = 48;

const Json& OtherSection() {
  static const Json section = Json::parse(R"({
    "DinosPerTick": 7,
    "Kill Zones": {"keep": {"Corner1": [1.0, 2.0, 3.0], "Corner2": [4.0, 5.0, 6.0]}}
  })");
  return section;
}

struct Harness {
  brimwarden::fuzz::FuzzServerDir server;
  AShooterPlayerController* admin = nullptr;
  AShooterPlayerController* player = nullptr;
};

Harness& TheHarness() {
  static Harness harness;
  return harness;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteStartingConfig(const std::string& path) {
  Json document;
  document[kServerKey] = Json::object({{"DinosPerTick", 20}});
  document["Other"] = OtherSection();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << document.dump(4) << '\n';
}

bool SameBits(const Vector3& a, const Vector3& b) {
  return std::bit_cast<std::uint32_t>(a.X) == std::bit_cast<std::uint32_t>(b.X) &&
         std::bit_cast<std::uint32_t>(a.Y) == std::bit_cast<std::uint32_t>(b.Y) &&
         std::bit_cast<std::uint32_t>(a.Z) == std::bit_cast<std::uint32_t>(b.Z);
}

Vector3 ReadCorner(const Json& corner) {
  if (!corner.is_array() || corner.size() != 3) Violation("a saved corner is not three numbers");
  return {static_cast<float>(corner[0].get<double>()), static_cast<float>(corner[1].get<double>()),
          static_cast<float>(corner[2].get<double>())};
}

std::u16string ConsumeWideText(FuzzedDataProvider& input) {
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, kMaxMessageChars);
  std::u16string text;
  for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
    text.push_back(static_cast<char16_t>(input.ConsumeIntegral<std::uint16_t>()));
  }
  return text;
}

int RepliesTo(const std::string& name) {
  int count = 0;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kChat && event.to == name) ++count;
  }
  return count;
}

// The replies to `name` after the first `skip` of them.
std::vector<std::string> RepliesAfter(const std::string& name, int skip) {
  std::vector<std::string> texts;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind != standin::EventKind::kChat || event.to != name) continue;
    if (skip > 0) {
      --skip;
    } else {
      texts.push_back(event.text);
    }
  }
  return texts;
}

void CheckNamesAreUtf8() {
  for (const auto& [controller, pending] : brimwarden::PendingZones) {
    if (!IsValidUtf8(pending.Name)) Violation("a pending zone's name is not valid UTF-8");
  }
  for (const KillZone& zone : brimwarden::PluginSettings.KillZones) {
    if (!IsValidUtf8(zone.Name)) Violation("a confirmed zone's name is not valid UTF-8");
  }
}

// The zone just confirmed must be in the file, with its corners, beside the untouched section.
void CheckConfirmedZoneSaved(const std::string& path, const KillZone& zone) {
  Json document;
  try {
    document = brimwarden::fuzz::ParseFirstValue(ReadFile(path));
  } catch (const Json::exception& error) {
    Violation(std::string("the saved file cannot be read: ") + error.what());
  }
  if (!document.contains("Other") || document.at("Other") != OtherSection()) {
    Violation("the save changed another server's section");
  }
  const Json& zones = document.at(kServerKey).at("Kill Zones");
  if (!zones.contains(zone.Name)) Violation("the confirmed zone is not in the file");
  const Json& entry = zones.at(zone.Name);
  if (!SameBits(ReadCorner(entry.at("Corner1")), zone.Corner1) ||
      !SameBits(ReadCorner(entry.at("Corner2")), zone.Corner2)) {
    Violation("the file holds other corners than the confirmed zone");
  }
}

bool SameZones(const std::vector<KillZone>& a, const std::vector<KillZone>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].Name != b[i].Name || !SameBits(a[i].Corner1, b[i].Corner1) ||
        !SameBits(a[i].Corner2, b[i].Corner2)) {
      return false;
    }
  }
  return true;
}

// A confirmation takes the earlier zones of the name out and appends the new one.
void CheckConfirmation(const std::vector<KillZone>& before, const std::vector<KillZone>& after) {
  std::vector<KillZone> expected;
  for (const KillZone& zone : before) {
    if (zone.Name != after.back().Name) expected.push_back(zone);
  }
  expected.push_back(after.back());
  if (!SameZones(expected, after)) {
    Violation("a confirmation did not replace the earlier zones of its name");
  }
  std::map<std::string, int> names;
  for (const KillZone& zone : after) {
    if (++names[zone.Name] > 1) Violation("memory holds two zones of one name");
  }
}

// What a load of the saved file must give back: one zone per name, the last confirmed one, in
// ascending byte order of the names.
std::vector<KillZone> ExpectedAfterLoad(const std::vector<KillZone>& confirmed) {
  std::map<std::string, KillZone> by_name;
  for (const KillZone& zone : confirmed) by_name.insert_or_assign(zone.Name, zone);
  std::vector<KillZone> zones;
  for (auto& [name, zone] : by_name) zones.push_back(zone);
  return zones;
}

// What a confirmation of the player's pending zone would say of the zone it replaces, if it
// replaces one.
std::optional<std::string> ReplacementNotice(AShooterPlayerController* who,
                                             const std::vector<KillZone>& zones) {
  const auto pending = brimwarden::PendingZones.find(who);
  if (pending == brimwarden::PendingZones.end()) return std::nullopt;
  for (const KillZone& zone : zones) {
    if (zone.Name != pending->second.Name) continue;
    const auto g = [](float value) { return static_cast<double>(value); };
    return fmt::format("It replaced the earlier zone {}: {:g} {:g} {:g} to {:g} {:g} {:g}",
                       brimwarden::EscapedName(zone.Name), g(zone.Corner1.X), g(zone.Corner1.Y),
                       g(zone.Corner1.Z), g(zone.Corner2.X), g(zone.Corner2.Y), g(zone.Corner2.Z));
  }
  return std::nullopt;
}

void SendCommand(AShooterPlayerController* who, const std::u16string& message) {
  if (!standin::SendChat(who, message)) Violation("a zone command was not dispatched");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  brimwarden::fuzz::EnsureKeyArgument(argc, argv);
  brimwarden::fuzz::SetServerKey(kServerKey);
  Harness& harness = TheHarness();
  WriteStartingConfig(harness.server.ConfigPath());
  harness.admin = standin::AddPlayer(kAdminName, /*admin=*/true);
  harness.player = standin::AddPlayer(kPlayerName, /*admin=*/false);
  brimwarden::Load();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& harness = TheHarness();
  const std::string path = harness.server.ConfigPath();
  harness.server.ForgetHistory();
  brimwarden::ResetProcessObjects();
  brimwarden::PluginSettings.DinosPerTick = 20;  // as the starting section holds: the sweep is on
  WriteStartingConfig(path);
  standin::MovePlayer(harness.admin, {});
  standin::MovePlayer(harness.player, {});

  FuzzedDataProvider input(data, size);
  for (int command = 0; command < kMaxCommandsPerInput && input.remaining_bytes() > 0; ++command) {
    const bool by_admin = input.ConsumeBool();
    AShooterPlayerController* who = by_admin ? harness.admin : harness.player;
    const std::string name = by_admin ? kAdminName : kPlayerName;
    const std::vector<KillZone> zones_before = brimwarden::PluginSettings.KillZones;
    const int replies_before = RepliesTo(name);
    const std::optional<std::string> notice = ReplacementNotice(who, zones_before);
    bool expects_reply = true;

    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:  // "/newbox" typed in chat, in any letter case, with an arbitrary name
        SendCommand(who,
                    (input.ConsumeBool() ? u"/newbox " : u"/NewBox ") + ConsumeWideText(input));
        break;
      case 1: {  // the handler given an arbitrary message, whatever its first word
        FString message(ConsumeWideText(input));
        brimwarden::NewBoxCommand(who, &message, EChatSendMode::GlobalChat);
        break;
      }
      case 2:
        SendCommand(who, u"/setcorner1" + ConsumeWideText(input).insert(0, u" "));
        break;
      case 3:
        SendCommand(who, u"/setcorner2");
        break;
      case 4:
        SendCommand(who, u"/confirm");
        break;
      case 5:
        SendCommand(who, u"/cancel");
        break;
      case 6: {  // the player walks somewhere (positions in the game are finite)
        const float x = input.ConsumeFloatingPoint<float>();
        const float y = input.ConsumeFloatingPoint<float>();
        const float z = input.ConsumeFloatingPoint<float>();
        standin::MovePlayer(who, {x, y, z});
        expects_reply = false;
        break;
      }
      default: {  // one of the other handlers given an arbitrary message, which it ignores
        FString message(ConsumeWideText(input));
        using Handler = void (*)(AShooterPlayerController*, FString*, EChatSendMode::Type);
        constexpr Handler kHandlers[] = {brimwarden::SetCorner1Command,
                                         brimwarden::SetCorner2Command, brimwarden::ConfirmCommand,
                                         brimwarden::CancelCommand};
        kHandlers[input.ConsumeIntegralInRange<int>(0, 3)](who, &message, EChatSendMode::LocalChat);
        break;
      }
    }

    const std::vector<KillZone>& zones = brimwarden::PluginSettings.KillZones;
    const bool zones_changed = !SameZones(zones, zones_before);
    const std::vector<std::string> replies = RepliesAfter(name, replies_before);
    // A confirmation that replaced a zone of its name says so, in a second reply.
    const bool confirmed = notice && !brimwarden::PendingZones.contains(who) && !replies.empty() &&
                           replies.front() == "Zone created";
    const std::size_t expected_replies =
        confirmed && replies.size() == 2 && replies[1] == *notice ? 2 : 1;
    if (expects_reply && replies.size() != expected_replies) {
      Violation(name + " got " + std::to_string(replies.size()) + " replies to one command");
    }
    if (!by_admin && (brimwarden::PendingZones.contains(who) || zones_changed)) {
      Violation("a player who is not an admin defined a zone");
    }
    CheckNamesAreUtf8();
    if (zones_changed) {
      if (zones.empty()) Violation("a zone command emptied the zone list");
      CheckConfirmation(zones_before, zones);
      if (replies.empty() || replies.front() != "Zone created") {
        Violation("the save of a confirmed zone failed: \"" +
                  (replies.empty() ? std::string() : replies.front()) + "\"");
      }
      CheckConfirmedZoneSaved(path, zones.back());
    }
  }

  if (!brimwarden::PluginSettings.KillZones.empty()) {
    const std::vector<KillZone> expected = ExpectedAfterLoad(brimwarden::PluginSettings.KillZones);
    if (const auto failure = brimwarden::LoadConfig()) {
      Violation("the file the zone commands saved does not load: " + *failure);
    }
    const std::vector<KillZone>& loaded = brimwarden::PluginSettings.KillZones;
    bool same = loaded.size() == expected.size();
    for (std::size_t i = 0; same && i < loaded.size(); ++i) {
      same = loaded[i].Name == expected[i].Name &&
             SameBits(loaded[i].Corner1, expected[i].Corner1) &&
             SameBits(loaded[i].Corner2, expected[i].Corner2);
    }
    if (!same) Violation("loading the saved zones did not give back the confirmed ones");
  }
  return 0;
}
