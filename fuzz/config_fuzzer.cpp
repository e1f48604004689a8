// Fuzzes the configuration with arbitrary text as config.json and an arbitrary server key, through
// the real load, the "BWD.reload" RCON command and the save of the kill zones, with the stand-in
// underneath.
//
// An input is the server key, a newline, and the file's text. For every input:
// - nothing crashes and nothing is thrown out of the plugin's functions;
// - the load is all or nothing, and the reload over RCON ends in the same settings and sends one
//   reply;
// - when the load accepts the file, saving the zones and loading again gives back the same
//   settings and zones, and the save leaves every other section, and every other member of this
//   server's section, as it was;
// - a save fails on a file the load accepted only for a refusal it owes the file (text after the
//   first value, a member named twice in one object, no write permission, over 64 MiB, a corner
//   of this server's zones with more than three numbers, a number the library cannot hold);
// - a save that reports failure leaves the file byte for byte as it was.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "brimwarden/config/config.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "fuzz_support.h"

namespace {

using brimwarden::KillZone;
using brimwarden::Settings;
using brimwarden::fuzz::Violation;
using Json = nlohmann::json;

constexpr std::int32_t kReloadRequestId = 4711;

brimwarden::fuzz::FuzzServerDir& Server() {
  static brimwarden::fuzz::FuzzServerDir server;
  return server;
}

void WriteFile(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool SameBits(const Vector3& a, const Vector3& b) {
  return std::bit_cast<std::uint32_t>(a.X) == std::bit_cast<std::uint32_t>(b.X) &&
         std::bit_cast<std::uint32_t>(a.Y) == std::bit_cast<std::uint32_t>(b.Y) &&
         std::bit_cast<std::uint32_t>(a.Z) == std::bit_cast<std::uint32_t>(b.Z);
}

bool SameSettings(const Settings& a, const Settings& b) {
  if (a.TopRayDistance != b.TopRayDistance || a.BottomRayDistance != b.BottomRayDistance ||
      a.DinosPerTick != b.DinosPerTick || a.KillZones.size() != b.KillZones.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.KillZones.size(); ++i) {
    const KillZone& x = a.KillZones[i];
    const KillZone& y = b.KillZones[i];
    if (x.Name != y.Name || !SameBits(x.Corner1, y.Corner1) || !SameBits(x.Corner2, y.Corner2)) {
      return false;
    }
  }
  return true;
}

std::string ErrorLines() {
  std::string lines;
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.level >= spdlog::level::err) lines += "\n  " + record.text;
  }
  return lines;
}

// The section without its "Kill Zones", or the value itself when it is not an object.
Json WithoutZones(Json section) {
  if (section.is_object()) section.erase("Kill Zones");
  return section;
}

// Checks that `after` holds every top-level member of `before` except this server's unchanged,
// nothing more than this server's section, and this server's other members unchanged.
void CheckOtherContentKept(const Json& before, const Json& after, const std::string& key) {
  if (!after.is_object()) Violation("the saved file is not an object");
  for (const auto& [name, value] : before.items()) {
    if (name == key) continue;
    if (!after.contains(name) || after.at(name) != value) {
      Violation("the save changed the section \"" + name + "\"");
    }
  }
  for (const auto& [name, value] : after.items()) {
    if (name != key && !before.contains(name)) Violation("the save added the section " + name);
  }
  if (!after.contains(key) || !after.at(key).is_object()) {
    Violation("the save left no object section for the key");
  }
  const bool had_section = before.contains(key) && !before.at(key).is_null();
  const Json kept = had_section ? WithoutZones(before.at(key)) : Json::object();
  if (kept != WithoutZones(after.at(key))) {
    Violation("the save changed a member of this server's section other than \"Kill Zones\"");
  }
}

// Checks that the file's "Kill Zones" for `key` holds exactly `zones`, one entry per name.
void CheckSavedZones(const Json& after, const std::string& key, const Settings& settings) {
  const Json& zones = after.at(key).at("Kill Zones");
  if (!zones.is_object() || zones.size() != settings.KillZones.size()) {
    Violation("the saved \"Kill Zones\" do not match the zone list");
  }
  for (const KillZone& zone : settings.KillZones) {
    if (!zones.contains(zone.Name)) Violation("the save lost the zone " + zone.Name);
    const Json& entry = zones.at(zone.Name);
    for (const auto& [corner_name, corner] :
         {std::pair{"Corner1", zone.Corner1}, std::pair{"Corner2", zone.Corner2}}) {
      const Json& saved = entry.at(corner_name);
      if (!saved.is_array() || saved.size() != 3 || !saved[0].is_number_float()) {
        Violation(std::string("the saved ") + corner_name + " is not three numbers");
      }
      const Vector3 read{static_cast<float>(saved[0].get<double>()),
                         static_cast<float>(saved[1].get<double>()),
                         static_cast<float>(saved[2].get<double>())};
      if (!SameBits(read, corner)) Violation("the save changed a corner of " + zone.Name);
    }
  }
}

// Whether an object of `text`, a single JSON value, holds one member name twice: the library keeps
// the last, so a rewrite would drop the others. Found with the library's own parser callback.
bool HasDuplicateMember(const std::string& text) {
  std::vector<std::set<std::string>> open_objects;
  bool found = false;
  const Json::parser_callback_t callback = [&](int /*depth*/, Json::parse_event_t event,
                                               Json& parsed) {
    if (event == Json::parse_event_t::object_start) open_objects.emplace_back();
    if (event == Json::parse_event_t::object_end && !open_objects.empty()) open_objects.pop_back();
    if (event == Json::parse_event_t::key && !open_objects.empty() &&
        !open_objects.back().insert(parsed.get<std::string>()).second) {
      found = true;
    }
    return true;
  };
  (void)Json::parse(text, callback, /*allow_exceptions=*/false);
  return found;
}

// Finds a number of the first JSON value that the library cannot hold as written: an integer it
// reads as a double (beyond the 64-bit ranges), or a number other than zero it reads as zero.
class ChangedNumberFinder : public nlohmann::json_sax<Json> {
 public:
  bool found = false;
  bool number_float(number_float_t value, const string_t& text) override {
    const bool integer = text.find_first_not_of("-0123456789") == std::string::npos;
    const bool lost =
        value == 0.0 &&
        text.substr(0, text.find_first_of("eE")).find_first_of("123456789") != std::string::npos;
    found = found || integer || lost;
    return true;
  }
  bool null() override { return true; }
  bool boolean(bool /*value*/) override { return true; }
  bool number_integer(number_integer_t /*value*/) override { return true; }
  bool number_unsigned(number_unsigned_t /*value*/) override { return true; }
  bool string(string_t& /*value*/) override { return true; }
  bool binary(binary_t& /*value*/) override { return true; }
  bool start_object(std::size_t /*size*/) override { return true; }
  bool key(string_t& /*value*/) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t /*size*/) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }
};

bool HasChangedNumber(const std::string& text) {
  ChangedNumberFinder finder;
  Json::sax_parse(text, &finder, Json::input_format_t::json, /*strict=*/false);
  return finder.found;
}

// Whether a corner of this server's zones holds more than three elements, which a rewrite would
// drop.
bool HasLongCorner(const Json& document, const std::string& key) {
  if (!document.is_object() || !document.contains(key) || !document.at(key).is_object()) {
    return false;
  }
  const Json& section = document.at(key);
  if (!section.contains("Kill Zones") || !section.at("Kill Zones").is_object()) return false;
  for (const auto& [name, zone] : section.at("Kill Zones").items()) {
    for (const char* corner : {"Corner1", "Corner2"}) {
      if (zone.is_object() && zone.contains(corner) && zone.at(corner).is_array() &&
          zone.at(corner).size() > 3) {
        return true;
      }
    }
  }
  return false;
}

// Whether the file at `path` has no write permission for anyone, which every save refuses.
bool IsReadOnly(const std::string& path) {
  constexpr auto kWrite = std::filesystem::perms::owner_write |
                          std::filesystem::perms::group_write |
                          std::filesystem::perms::others_write;
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  return !error && (status.permissions() & kWrite) == std::filesystem::perms::none;
}

// The largest file the load reads and the save rewrites.
constexpr std::size_t kMaxConfigBytes = std::size_t{64} * 1024 * 1024;

void CheckReload(const std::optional<std::string>& first_failure, const Settings& first) {
  standin::ClearEvents();
  if (!standin::SendRcon("BWD.reload", kReloadRequestId)) {
    Violation("BWD.reload is not registered");
  }
  int replies = 0;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind != standin::EventKind::kRcon) continue;
    ++replies;
    if (event.id != kReloadRequestId) Violation("the reload replied to another request id");
    if (!first_failure && event.text != "Config Reloaded.") {
      Violation("a reload that worked replied \"" + event.text + "\"");
    }
  }
  if (replies != 1) Violation("the reload sent " + std::to_string(replies) + " replies");
  if (!SameSettings(brimwarden::PluginSettings, first)) {
    Violation("the reload of the same file ended in other settings than the load");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  brimwarden::fuzz::EnsureKeyArgument(argc, argv);
  brimwarden::fuzz::SetServerKey("FuzzServer");
  WriteFile(Server().ConfigPath(), R"({"FuzzServer": {}})");
  brimwarden::Load();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string_view raw_key =
      newline == std::string_view::npos ? input : input.substr(0, newline);
  const std::string text(newline == std::string_view::npos ? std::string_view{}
                                                           : input.substr(newline + 1));
  const std::string key = brimwarden::fuzz::EffectiveServerKey(raw_key);
  const std::string path = Server().ConfigPath();

  Server().ForgetHistory();
  brimwarden::ResetProcessObjects();
  brimwarden::fuzz::SetServerKey(raw_key);
  WriteFile(path, text);

  const std::optional<std::string> failure = brimwarden::LoadConfig();
  const Settings loaded = brimwarden::PluginSettings;
  if (failure && !SameSettings(loaded, Settings{})) {
    Violation("a load that failed (" + *failure + ") changed the settings");
  }
  CheckReload(failure, loaded);

  std::optional<Json> before;
  try {
    before = brimwarden::fuzz::ParseFirstValue(text);
  } catch (const Json::exception&) {
    if (!failure) Violation("the load accepted a file the JSON library cannot read");
  }

  // Text after the first value, which the rewrite would drop: the library's strict reader
  // refuses exactly such a file once its first value reads. That reader takes a NUL byte for the
  // end of its input, though the bytes after it are still in the file, so it reads a copy with
  // every NUL made into a control character, which JSON allows nowhere outside a string either.
  std::string without_nul = text;
  std::replace(without_nul.begin(), without_nul.end(), '\0', '\x01');
  const bool trailing_text = before.has_value() && !Json::accept(without_nul);
  // Other files the save refuses whole: a member named twice in one object (which a rewrite would
  // drop), a file nobody may write, and one too large to read.
  const bool duplicate_member =
      before.has_value() && !trailing_text && HasDuplicateMember(without_nul);
  // And, among what the load accepts, a corner of this server's zones with more than three numbers
  // and a number the library cannot hold as written.
  const bool refused_whole = trailing_text || duplicate_member || IsReadOnly(path) ||
                             text.size() > kMaxConfigBytes || HasChangedNumber(text) ||
                             (before.has_value() && HasLongCorner(*before, key));

  const bool saved = brimwarden::SaveKillZones();
  const std::string written = ReadFile(path);
  if (!saved) {
    if (written != text) Violation("a save that failed changed the file");
    if (!failure && !refused_whole) {
      Violation("the save failed on a file the load accepted:" + ErrorLines());
    }
    return 0;
  }
  if (trailing_text) Violation("the save rewrote a file with text after its first value");
  if (duplicate_member) Violation("the save rewrote a file with a member named twice");
  if (HasChangedNumber(text)) Violation("the save rewrote a number the library cannot hold");
  if (!before) Violation("the save reported success on a file the JSON library cannot read");
  if (key.empty()) Violation("the save reported success without a server key");

  Json after;
  try {
    after = brimwarden::fuzz::ParseFirstValue(written);
  } catch (const Json::exception& error) {
    Violation(std::string("the saved file cannot be read: ") + error.what());
  }
  CheckOtherContentKept(*before, after, key);
  CheckSavedZones(after, key, loaded);

  if (!failure) {
    brimwarden::PluginSettings = Settings{};
    const std::optional<std::string> again = brimwarden::LoadConfig();
    if (again) Violation("the file the save wrote does not load: " + *again);
    if (!SameSettings(brimwarden::PluginSettings, loaded)) {
      Violation("save then load did not give back the same settings and zones");
    }
  }
  return 0;
}
