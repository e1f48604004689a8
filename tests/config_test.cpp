// The configuration in one process: the server-key rule, every failure of the load and the save
// with its exact log line, defaults and warnings, the zones, the exact bytes of a rewrite, and the
// "BWD.reload" reply. This program is started with -serverkey=TestServer.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"
#include "brimwarden/host/framework_api.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using brimwarden::KillZone;
using brimwarden::PluginSettings;
using brimwarden::Settings;
using brimwarden::test::ServerDir;
using Json = nlohmann::json;
using Level = spdlog::level::level_enum;

struct Line {
  Level level;
  std::string text;
  bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << spdlog::level::to_string_view(line.level).data() << ": " << line.text;
}

// Lines from the plugin's logger, without the "Server Key: ..." line that every load writes.
std::vector<Line> PluginLines() {
  std::vector<Line> lines;
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.logger != brimwarden::LoggerName) continue;
    if (record.text.rfind("Server Key: ", 0) == 0) continue;
    lines.push_back({record.level, record.text});
  }
  return lines;
}

std::vector<std::string> ServerKeyLines() {
  std::vector<std::string> lines;
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.text.rfind("Server Key: ", 0) == 0) lines.push_back(record.text);
  }
  return lines;
}

bool SameVector(const Vector3& a, const Vector3& b) {
  return a.X == b.X && a.Y == b.Y && a.Z == b.Z;
}

bool SameSettings(const Settings& a, const Settings& b) {
  if (a.TopRayDistance != b.TopRayDistance || a.BottomRayDistance != b.BottomRayDistance ||
      a.DinosPerTick != b.DinosPerTick || a.DryRun != b.DryRun ||
      a.MaxDestroyShare != b.MaxDestroyShare || a.WipeGuard.Paused != b.WipeGuard.Paused ||
      a.KillZones.size() != b.KillZones.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.KillZones.size(); ++i) {
    const KillZone& x = a.KillZones[i];
    const KillZone& y = b.KillZones[i];
    if (x.Name != y.Name || !SameVector(x.Corner1, y.Corner1) ||
        !SameVector(x.Corner2, y.Corner2)) {
      return false;
    }
  }
  return true;
}

// The message stream extraction gives for `text`, to compare with what the load logged.
std::string LibraryParseError(const std::string& text) {
  try {
    std::istringstream in(text);
    Json ignored;
    in >> ignored;
  } catch (const Json::exception& error) {
    return error.what();
  }
  return "(no error)";
}

std::string Nested(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

std::string Section(const std::string& body) { return R"({"TestServer": )" + body + "}"; }

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    brimwarden::ResetProcessObjects();
    const auto& sinks = GetLogSinks();
    brimwarden::PluginLogger() =
        std::make_shared<spdlog::logger>(brimwarden::LoggerName, sinks.begin(), sinks.end());
    standin::ClearLogRecords();
    standin::ClearEvents();
  }
  void TearDown() override {
    brimwarden::PluginLogger().reset();
    brimwarden::ResetProcessObjects();
  }

  // Settings that no file in these tests produces, to see that a failure keeps them.
  static Settings Sentinel() {
    Settings settings;
    settings.TopRayDistance = 11;
    settings.BottomRayDistance = -22;
    settings.DinosPerTick = 33;
    settings.DryRun = true;
    settings.MaxDestroyShare = 0.75;
    settings.WipeGuard.Paused = true;
    settings.KillZones.push_back({"kept", {1, 2, 3}, {4, 5, 6}});
    return settings;
  }

  ServerDir server_;
};

// ---- The server key
// ------------------------------------------------------------------------------

TEST(ServerKeyTest, FirstArgumentStartingWithThePrefixInAnyCaseGivesTheKey) {
  struct Case {
    std::vector<std::string> arguments;
    std::string key;
  };
  const Case cases[] = {
      {{"server.exe", "-ServerKey=Alpha"}, "Alpha"},
      {{"server.exe", "-SERVERKEY=alpha"}, "alpha"},
      {{"server.exe", "-sErVeRkEy=MiXeD"}, "MiXeD"},
      {{"server.exe", "-serverkey=", "-serverkey=Beta"}, ""},  // first match wins, even empty
      {{"server.exe", "-map-serverkey=x"}, ""},                // prefix not at the start
      {{"server.exe", "-map-serverkey=x", "-serverkey=Gamma"}, "Gamma"},
      {{"server.exe", "-serverkey"}, ""},  // no '=': not the prefix
      {{"server.exe", " -serverkey=Pad"}, ""},
      {{"-serverkey=First", "-serverkey=Second"}, "First"},  // the program's own path counts
      {{"server.exe", "-serverkey=Two Words Zo\xC3\xAB"}, "Two Words Zo\xC3\xAB"},
      {{"server.exe", "-serverkey==x"}, "=x"},
      {{"server.exe"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(brimwarden::FindServerKey(c.arguments), c.key)
        << ::testing::PrintToString(c.arguments);
  }
}

TEST(ServerKeyTest, WideArgumentsFoldOnlyAsciiLettersOfThePrefix) {
  struct Case {
    std::vector<std::u16string> arguments;
    std::u16string key;
  };
  const Case cases[] = {
      {{u"server.exe", u"-SERVERKEY=Zo\u00EB \u03A9"}, u"Zo\u00EB \u03A9"},
      {{u"server.exe", u"-\u017Fkey=x", u"-serverkey=ok"}, u"ok"},  // long s is no 's'
      {{u"server.exe", u"-serverkey\uFF1Dx"}, u""},                 // fullwidth '='
      {{u"server.exe", u"-serverkey=", u"-serverkey=late"}, u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(brimwarden::FindServerKey(c.arguments), c.key);
  }
}

TEST_F(ConfigTest, ServerKeyComesFromThisProcessCommandLineAndIsLoggedEachCall) {
  EXPECT_EQ(brimwarden::GetServerKey(), brimwarden::test::kTestServerKey);
  EXPECT_EQ(brimwarden::GetServerKey(), brimwarden::test::kTestServerKey);
  const std::vector<std::string> expected(2, "Server Key: TestServer");
  EXPECT_EQ(ServerKeyLines(), expected);
  for (const standin::LogRecord& record : standin::LogRecords()) {
    EXPECT_EQ(record.level, spdlog::level::info);
  }
}

TEST_F(ConfigTest, ConfigPathIsThePluginFolderBelowTheServerDirectory) {
  EXPECT_EQ(brimwarden::GetConfigPath(),
            ArkApi::Tools::GetCurrentDir() + "/ArkApi/Plugins/Brimwarden/config.json");
  EXPECT_EQ(std::filesystem::path(brimwarden::GetConfigPath()), server_.ConfigPath());
}

// ---- Load failures ------------------------------------------------------------------------------

TEST_F(ConfigTest, EveryLoadFailureIsLoggedAtErrorAndChangesNothing) {
  struct Case {
    const char* what;
    std::optional<std::string> file;  // nullopt: no file
    std::string error;
  };
  const std::string kBroken = R"({"TestServer": {"DinosPerTick": 5,}})";
  const Case cases[] = {
      {"missing file", std::nullopt, "Failed to open config file"},
      {"not JSON", kBroken, LibraryParseError(kBroken)},
      {"empty file", "", LibraryParseError("")},
      {"number too large for a double", Section(R"({"TopRayDistance": 1e400})"),
       LibraryParseError(Section(R"({"TopRayDistance": 1e400})"))},
      {"null document", "null", "Failed to load config"},
      {"array document", "[1, 2]", "Server key not found in config"},
      {"no section", R"({"Other": {}, "testserver": {}})", "Server key not found in config"},
      {"null section", Section("null"), "Failed to load config for server key"},
      {"number section", Section("5"),
       "[json.exception.type_error.306] cannot use value() with number"},
      {"string section", Section(R"("x")"),
       "[json.exception.type_error.306] cannot use value() with string"},
      {"array section", Section("[]"),
       "[json.exception.type_error.306] cannot use value() with array"},
      {"boolean section", Section("true"),
       "[json.exception.type_error.306] cannot use value() with boolean"},
      {"string number", Section(R"({"TopRayDistance": "far"})"),
       "[json.exception.type_error.302] type must be number, but is string"},
      {"null number", Section(R"({"DinosPerTick": null})"),
       "[json.exception.type_error.302] type must be number, but is null"},
      {"array number", Section(R"({"TopRayDistance": [1]})"),
       "[json.exception.type_error.302] type must be number, but is array"},
      {"object number", Section(R"({"DinosPerTick": {}})"),
       "[json.exception.type_error.302] type must be number, but is object"},
      {"above int32", Section(R"({"TopRayDistance": 2147483648})"),
       "TopRayDistance in config is outside the 32-bit integer range: 2147483648"},
      {"below int32", Section(R"({"DinosPerTick": -2147483649})"),
       "DinosPerTick in config is outside the 32-bit integer range: -2147483649"},
      {"huge unsigned", Section(R"({"DinosPerTick": 18446744073709551615})"),
       "DinosPerTick in config is outside the 32-bit integer range: 18446744073709551615"},
      {"huge float", Section(R"({"BottomRayDistance": 1e20})"),
       "BottomRayDistance in config is outside the 32-bit integer range: 1e+20"},
      {"float just above", Section(R"({"TopRayDistance": 2147483648.0})"),
       "TopRayDistance in config is outside the 32-bit integer range: 2147483648.0"},
      // A negative downward distance would find no ground under anyone; a boolean is no distance.
      // Nothing is applied, and no default warning is logged for the members read before.
      {"bottom negative", Section(R"({"BottomRayDistance": -150000})"),
       "BottomRayDistance in config cannot be negative: -150000"},
      {"bottom negative after defaults", Section(R"({"DinosPerTick": 0, "BottomRayDistance": -1})"),
       "BottomRayDistance in config cannot be negative: -1"},
      {"bottom negative fraction", Section(R"({"BottomRayDistance": -0.5})"),
       "BottomRayDistance in config cannot be negative: -0.5"},
      {"bottom int32 min", Section(R"({"BottomRayDistance": -2147483648})"),
       "BottomRayDistance in config cannot be negative: -2147483648"},
      {"bottom below int32", Section(R"({"BottomRayDistance": -1e20})"),
       "BottomRayDistance in config cannot be negative: -1e+20"},
      {"bottom true", Section(R"({"BottomRayDistance": true})"),
       "BottomRayDistance in config is not a number: true"},
      {"bottom false", Section(R"({"BottomRayDistance": false})"),
       "BottomRayDistance in config is not a number: false"},
      {"bottom string", Section(R"({"BottomRayDistance": "150000"})"),
       "BottomRayDistance in config is not a number: \"150000\""},
      {"bottom null", Section(R"({"BottomRayDistance": null})"),
       "BottomRayDistance in config is not a number: null"},
      {"bottom array", Section(R"({"BottomRayDistance": [1]})"),
       "BottomRayDistance in config is not a number: [1]"},
      {"top fails first", Section(R"({"TopRayDistance": "x", "BottomRayDistance": -1})"),
       "[json.exception.type_error.302] type must be number, but is string"},
      {"zone not an object", Section(R"({"Kill Zones": {"a": 5}})"),
       "[json.exception.type_error.305] cannot use operator[] with a string argument with number"},
      {"corner missing", Section(R"({"Kill Zones": {"a": {"Corner2": [1, 2, 3]}}})"),
       "Kill zone \"a\": Corner1 is missing"},
      {"second corner missing",
       Section(R"({"Kill Zones": {"a": {"Corner1": [1, 2, 3]}, "b": {}}})"),
       "Kill zone \"a\": Corner2 is missing"},
      {"zone null", Section(R"({"Kill Zones": {"a": null}})"),
       "Kill zone \"a\": Corner1 is missing"},
      {"corner not an array", Section(R"({"Kill Zones": {"a": {"Corner1": "x", "Corner2": []}}})"),
       "Kill zone \"a\": Corner1 is not a list of three numbers: \"x\""},
      {"corner null", Section(R"({"Kill Zones": {"a": {"Corner1": null, "Corner2": [1, 2, 3]}}})"),
       "Kill zone \"a\": Corner1 is not a list of three numbers: null"},
      {"corner an object",
       Section(R"({"Kill Zones": {"a": {"Corner1": {"X": 1}, "Corner2": [1, 2, 3]}}})"),
       "Kill zone \"a\": Corner1 is not a list of three numbers: {\"X\":1}"},
      {"corner too short",
       Section(R"({"Kill Zones": {"a": {"Corner1": [1, 2], "Corner2": [1, 2, 3]}}})"),
       "Kill zone \"a\": Corner1 is not a list of three numbers: [1,2]"},
      {"corner holds a string",
       Section(R"({"Kill Zones": {"a": {"Corner1": [1, 2, 3], "Corner2": ["x", 2, 3]}}})"),
       "Kill zone \"a\": Corner2 is not a list of three numbers: [\"x\",2,3]"},
      {"corner holds null",
       Section(R"({"Kill Zones": {"b": {"Corner1": [1, 2, null, 4], "Corner2": [1, 2, 3]}}})"),
       "Kill zone \"b\": Corner1 is not a list of three numbers: [1,2,null,4]"},
      {"zones an array",
       Section(R"({"Kill Zones": [{"Corner1": [1, 2, 3], "Corner2": [1, 2, 3]}]})"),
       "Kill Zones in config is not an object but array"},
      {"zones a string", Section(R"({"Kill Zones": "none"})"),
       "Kill Zones in config is not an object but string"},
      {"zones an array of nothing but null", Section(R"({"Kill Zones": [null]})"),
       "Kill Zones in config is not an object but array"},
      {"coordinate beyond float",
       Section(R"({"Kill Zones": {"a": {"Corner1": [1, 2, 3], "Corner2": [1, -1e39, 3]}}})"),
       "Corner2 of kill zone \"a\" in config has a coordinate that is not finite as a float: "
       "-1e+39"},
      {"nested too deep", R"({"Deep": )" + Nested(64) + R"(, "TestServer": {}})",
       "Config file is nested deeper than 64 levels"},
      {"DryRun null", Section(R"({"DryRun": null})"), "DryRun in config is not a boolean: null"},
      {"DryRun a string", Section(R"({"DryRun": "true"})"),
       "DryRun in config is not a boolean: \"true\""},
      {"DryRun a number", Section(R"({"DryRun": 1})"), "DryRun in config is not a boolean: 1"},
      {"DryRun an array", Section(R"({"DryRun": [false]})"),
       "DryRun in config is not a boolean: [false]"},
      {"DryRun an object", Section(R"({"DryRun": {}})"), "DryRun in config is not a boolean: {}"},
      {"MaxDestroyShare zero", Section(R"({"MaxDestroyShare": 0})"),
       "MaxDestroyShare in config must be a number above 0 and at most 1: 0"},
      {"MaxDestroyShare negative", Section(R"({"MaxDestroyShare": -0.5})"),
       "MaxDestroyShare in config must be a number above 0 and at most 1: -0.5"},
      {"MaxDestroyShare above 1", Section(R"({"MaxDestroyShare": 1.0000001})"),
       "MaxDestroyShare in config must be a number above 0 and at most 1: 1.0000001"},
      {"MaxDestroyShare a string", Section(R"({"MaxDestroyShare": "0.5"})"),
       "MaxDestroyShare in config must be a number above 0 and at most 1: \"0.5\""},
      {"MaxDestroyShare a boolean", Section(R"({"MaxDestroyShare": true})"),
       "MaxDestroyShare in config must be a number above 0 and at most 1: true"},
      {"MaxDestroyShare null", Section(R"({"MaxDestroyShare": null})"),
       "MaxDestroyShare in config must be a number above 0 and at most 1: null"},
      {"MaxDestroyShare an array", Section(R"({"MaxDestroyShare": [0.5]})"),
       "MaxDestroyShare in config must be a number above 0 and at most 1: [0.5]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code ignored;
    std::filesystem::remove(server_.ConfigPath(), ignored);
    if (c.file) server_.WriteConfig(*c.file);
    PluginSettings = Sentinel();
    brimwarden::ConfigDocument = "before";
    standin::ClearLogRecords();

    EXPECT_EQ(brimwarden::LoadConfig(), c.error);

    // The error alone: no default warning for a load that is not applied.
    EXPECT_EQ(PluginLines(), (std::vector<Line>{{spdlog::level::err, c.error}}));
    EXPECT_TRUE(SameSettings(PluginSettings, Sentinel()));
    EXPECT_TRUE(PluginSettings.LastLoadFailed);
    EXPECT_EQ(PluginSettings.LastLoadError, c.error);
    EXPECT_EQ(brimwarden::ConfigDocument, "before");
  }
}

// Load and save open only a regular file of at most 64 MiB, and never wait on the open: a FIFO
// would block the game thread, and a device such as /dev/zero would be read until memory ran out.
TEST_F(ConfigTest, OnlyARegularFileOfAtMost64MiBIsReadOrSaved) {
  constexpr std::uintmax_t k64MiB = 64 * 1024 * 1024;
  const std::string kCannotOpen = "Failed to open config file";
  struct Case {
    const char* what;
    std::uintmax_t size;  // 0: not a regular file; else a section padded with spaces to this size
    std::string load_error;
    std::string save_error;
  };
  std::vector<Case> cases = {
      {"a directory", 0, kCannotOpen, kCannotOpen},
      {"one byte over 64 MiB", k64MiB + 1, "config.json is larger than 64 MiB",
       "Kill zones not saved: config.json is larger than 64 MiB"},
      {"exactly 64 MiB", k64MiB, "", ""},
  };
#if !defined(_WIN32)
  cases.push_back({"a FIFO", 0, kCannotOpen, kCannotOpen});
  cases.push_back({"a link to /dev/zero", 0, kCannotOpen, kCannotOpen});
#endif
  const std::filesystem::path path = server_.ConfigPath();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(server_.PluginDir());
    std::filesystem::create_directories(server_.PluginDir());
    const std::string what = c.what;
    if (what == "a directory") std::filesystem::create_directory(path);
#if !defined(_WIN32)
    if (what == "a FIFO") {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    }
    if (what == "a link to /dev/zero") std::filesystem::create_symlink("/dev/zero", path);
#endif
    if (c.size > 0) {
      server_.WriteConfig(Section("{}"));
      std::filesystem::resize_file(path, c.size);  // sparse NULs, made spaces below
      std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
      const std::string spaces(1 << 20, ' ');
      out.seekp(static_cast<std::streamoff>(Section("{}").size()));
      for (std::uintmax_t left = c.size - Section("{}").size(); left > 0;) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uintmax_t>(left, spaces.size()));
        out.write(spaces.data(), static_cast<std::streamsize>(chunk));
        left -= chunk;
      }
    }
    PluginSettings = Sentinel();
    standin::ClearLogRecords();
    EXPECT_EQ(brimwarden::LoadConfig().value_or(""), c.load_error);
    if (c.load_error.empty()) {
      EXPECT_EQ(PluginSettings.DinosPerTick, 20);
    } else {
      EXPECT_EQ(PluginLines(), (std::vector<Line>{{spdlog::level::err, c.load_error}}));
      EXPECT_TRUE(SameSettings(PluginSettings, Sentinel()));
      PluginSettings.LastLoadFailed = false;  // so the save reaches the file's own checks
    }
    PluginSettings.KillZones = {{"a", {1, 2, 3}, {4, 5, 6}}};
    standin::ClearLogRecords();
    EXPECT_EQ(brimwarden::SaveKillZones(), c.save_error.empty());
    if (c.save_error.empty()) {
      EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].size(), 1U);
    } else {
      EXPECT_EQ(PluginLines(), (std::vector<Line>{{spdlog::level::err, c.save_error}}));
      EXPECT_EQ(std::filesystem::exists(path) && c.size > 0 ? std::filesystem::file_size(path) : 0,
                c.size);
    }
  }
}

TEST_F(ConfigTest, DryRunIsOptionalAndASuccessfulLoadClearsTheLastFailure) {
  const struct {
    const char* section;
    bool dry_run;
  } cases[] = {
      {R"({})", false},
      {R"({"DryRun": false})", false},
      {R"({"DryRun": true})", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.section);
    PluginSettings = Sentinel();
    PluginSettings.DryRun = !c.dry_run;
    PluginSettings.LastLoadFailed = true;
    PluginSettings.LastLoadError = "earlier";
    PluginSettings.DryRunLinesLogged = 100;
    server_.WriteConfig(Section(c.section));
    EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
    EXPECT_EQ(PluginSettings.DryRun, c.dry_run);
    EXPECT_FALSE(PluginSettings.LastLoadFailed);
    EXPECT_EQ(PluginSettings.LastLoadError, "");
    EXPECT_EQ(PluginSettings.DryRunLinesLogged, 0);
    EXPECT_EQ(PluginSettings.ServerKey, "TestServer");
    // A successful load ends a pause of the wipe guard, and a missing share means half.
    EXPECT_FALSE(PluginSettings.WipeGuard.Paused);
    EXPECT_EQ(PluginSettings.MaxDestroyShare, 0.5);
  }
  for (const double share : {1.0, 1e-9, 0.25}) {
    server_.WriteConfig(Section(fmt::format(R"({{"MaxDestroyShare": {}}})", share)));
    EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
    EXPECT_EQ(PluginSettings.MaxDestroyShare, share);
  }
}

TEST_F(ConfigTest, NestingUpToTheCapLoads) {
  server_.WriteConfig(R"({"Deep": )" + Nested(63) + R"(, "TestServer": {"Deep": )" + Nested(62) +
                      R"(, "DinosPerTick": 4}})");
  EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
  EXPECT_EQ(PluginSettings.DinosPerTick, 4);
}

// ---- Defaults, warnings and numbers
// ---------------------------------------------------------------

Line NotASetting(const std::string& name) {
  return {spdlog::level::warn, "config.json: " + name +
                                   " in this server's section is not a setting and is ignored; "
                                   "check its spelling"};
}

TEST_F(ConfigTest, NumbersAreReadWithTheirDefaultsAndWarnings) {
  const Line kTopWarning{spdlog::level::warn, "TopRayDistance not set in config, using 150k"};
  const Line kBottomWarning{spdlog::level::warn, "BottomRayDistance not set in config, using 150k"};
  const Line kDinosWarning{spdlog::level::warn, "DinosPerTick not set in config, using 20"};
  struct Case {
    std::string section;
    std::int32_t top, bottom, dinos;
    std::vector<Line> lines;
  };
  const Case cases[] = {
      {"{}", 150000, -150000, 20, {kTopWarning, kBottomWarning, kDinosWarning}},
      // Members that are no setting are named last, in byte order; comments ("_...") are not.
      {R"({"TopRayDistance": 0, "BottomRayDistance": 0, "DinosPerTick": 0, "Other": "x",
           "_comment": 1, "Dryrun": true, "A\nB": {}})",
       150000,
       -150000,
       20,
       {kTopWarning, kBottomWarning, kDinosWarning, NotASetting("A\\u000aB"), NotASetting("Dryrun"),
        NotASetting("Other")}},
      {R"({"TopRayDistance": 2500.9, "BottomRayDistance": 3000, "DinosPerTick": true})",
       2500,
       -3000,
       1,
       {}},
      {R"({"TopRayDistance": -0.5, "BottomRayDistance": -0.0, "DinosPerTick": 0.5})",
       150000,
       -150000,
       20,
       {kTopWarning, kBottomWarning, kDinosWarning}},
      {R"({"TopRayDistance": false, "BottomRayDistance": 0.9, "DinosPerTick": -5})",
       150000,
       -150000,
       -5,
       {kTopWarning, kBottomWarning}},
      {R"({"TopRayDistance": -3000, "BottomRayDistance": 3000, "DinosPerTick": false})",
       -3000,
       -3000,
       20,
       {kDinosWarning}},
      {R"({"TopRayDistance": -2147483648, "BottomRayDistance": 2147483647, "DinosPerTick": 2147483647.9})",
       std::numeric_limits<std::int32_t>::min(),
       -2147483647,
       2147483647,
       {}},
      {R"({"TopRayDistance": 1, "BottomRayDistance": 2147483647.9, "DinosPerTick": 1})",
       1,
       -2147483647,
       1,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.section);
    server_.WriteConfig(Section(c.section));
    standin::ClearLogRecords();
    EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
    EXPECT_EQ(PluginSettings.TopRayDistance, c.top);
    EXPECT_EQ(PluginSettings.BottomRayDistance, c.bottom);
    EXPECT_EQ(PluginSettings.DinosPerTick, c.dinos);
    EXPECT_EQ(PluginLines(), c.lines);
    EXPECT_EQ(ServerKeyLines(), std::vector<std::string>{"Server Key: TestServer"});
  }
}

std::string TrailingWarning(int line, int column) {
  return "config.json has text after its first JSON value (line " + std::to_string(line) +
         ", column " + std::to_string(column) +
         "); it is ignored, and zones cannot be saved until it is removed";
}

TEST_F(ConfigTest, TextAfterTheFirstValueIsIgnoredWithAWarningThatSaysWhere) {
  // A stray brace turned the neighbour's section into text after the first value.
  server_.WriteConfig(Section(R"({"DinosPerTick": 7})") + "\n}, \"Other\": {}}\n");
  EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
  EXPECT_EQ(PluginSettings.DinosPerTick, 7);
  EXPECT_EQ(brimwarden::ConfigDocument, Json::parse(R"({"DinosPerTick": 7})"));
  // Before the server key, then the lines of a successful load as always.
  std::vector<std::string> texts;
  for (const standin::LogRecord& record : standin::LogRecords()) texts.push_back(record.text);
  EXPECT_EQ(texts, (std::vector<std::string>{TrailingWarning(2, 1), "Server Key: TestServer",
                                             "TopRayDistance not set in config, using 150k",
                                             "BottomRayDistance not set in config, using 150k"}));
  EXPECT_EQ(standin::LogRecords()[0].level, spdlog::level::warn);

  // Where the value ends, as the library's reader ends it; bytes are counted, from 1.
  struct Case {
    std::string file;
    std::optional<std::string> warning;  // nullopt: whitespace only after the value
    std::string error;
  };
  const Case cases[] = {
      {Section("{}") + " \t\r\n \n", std::nullopt, ""},
      {Section("{}") + "\n\n  }", TrailingWarning(3, 3), ""},
      {"\xEF\xBB\xBF" + Section("{}") + "x", TrailingWarning(1, 22), ""},
      {Section(R"({"Note": "a\"}b"})") + "]", TrailingWarning(1, 34), ""},
      {Section("{}") + std::string(1, '\0'), TrailingWarning(1, 19), ""},
      {"null x", TrailingWarning(1, 6), "Failed to load config"},
      {"nullnull", TrailingWarning(1, 5), "Failed to load config"},
      {"01", TrailingWarning(1, 2), "Server key not found in config"},
      {"-1.5e3e", TrailingWarning(1, 7), "Server key not found in config"},
      {"12-3", TrailingWarning(1, 3), "Server key not found in config"},
      {"truex", TrailingWarning(1, 5), "Server key not found in config"},
      {"\"a\\\"b\" x", TrailingWarning(1, 8), "Server key not found in config"},
      {"[1, [2, {\"]\": 3}]]\n ]", TrailingWarning(2, 2), "Server key not found in config"},
      {"5 ", std::nullopt, "Server key not found in config"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.file));
    server_.WriteConfig(c.file);
    standin::ClearLogRecords();
    const std::optional<std::string> failure = brimwarden::LoadConfig();
    EXPECT_EQ(failure.value_or(""), c.error);
    std::vector<Line> expected;
    if (c.warning) expected.push_back({spdlog::level::warn, *c.warning});
    if (!c.error.empty()) expected.push_back({spdlog::level::err, c.error});
    std::vector<Line> lines = PluginLines();
    if (c.error.empty()) lines.resize(std::min<std::size_t>(lines.size(), expected.size()));
    EXPECT_EQ(lines, expected);
  }
}

std::string DuplicateWarning(const std::string& name) {
  return "config.json has the member " + name +
         " more than once in one object; the last one is "
         "used";
}

TEST_F(ConfigTest, MemberNamedTwiceLoadsTheLastWithOneWarningNamingTheFirstMet) {
  const Line kTopWarning{spdlog::level::warn, "TopRayDistance not set in config, using 150k"};
  const Line kBottomWarning{spdlog::level::warn, "BottomRayDistance not set in config, using 150k"};
  struct Case {
    const char* what;
    std::string file;
    std::int32_t dinos;
    std::vector<Line> lines;  // besides the server key line, which follows the trailing warning
  };
  const std::string kRest = R"("TopRayDistance": 1, "BottomRayDistance": 1)";
  const Case cases[] = {
      {"this section twice",
       R"({"TestServer": {"DinosPerTick": 1}, "TestServer": {"DinosPerTick": 2}})",
       2,
       {{spdlog::level::warn, DuplicateWarning("TestServer")}, kTopWarning, kBottomWarning}},
      // The first name met again in reading order, here deep in another section, its newline
      // escaped; the name spelled with an escape is the same name.
      {"several, the first met named",
       "{\"Other\": [{\"a\\nb\": 1, \"a\\u000ab\": 2}], \"TestServer\": {" + kRest +
           R"(, "DinosPerTick": 3, "Dinos\u0050erTick": 4}, "Other": 5})",
       4,
       {{spdlog::level::warn, DuplicateWarning("a\\u000ab")}}},
      {"a zone named twice",
       Section("{" + kRest + R"(, "DinosPerTick": 5, "Kill Zones": {
           "z": {"Corner1": [0, 0, 0], "Corner2": [1, 1, 1]},
           "z": {"Corner1": [0, 0, 0], "Corner2": [2, 2, 2]}}})"),
       5,
       {{spdlog::level::warn, DuplicateWarning("z")}}},
      // After the trailing-text warning, before the defaults; what follows the value is not read.
      {"with text after the value",
       R"({"TestServer": {"DinosPerTick": 6}, "TestServer": {"DinosPerTick": 6}} {"a": 1, "a": 2})",
       6,
       {{spdlog::level::warn, TrailingWarning(1, 72)},
        {spdlog::level::warn, DuplicateWarning("TestServer")},
        kTopWarning,
        kBottomWarning}},
      {"in text after the value only",
       Section("{" + kRest + R"(, "DinosPerTick": 7})") + R"( {"a": 1, "a": 2})",
       7,
       {{spdlog::level::warn, TrailingWarning(1, 82)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.WriteConfig(c.file);
    standin::ClearLogRecords();
    EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
    EXPECT_EQ(PluginSettings.DinosPerTick, c.dinos);
    EXPECT_EQ(PluginLines(), c.lines);
  }

  // A failed load logs its error alone.
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 1}, "TestServer": {"DryRun": 1}})");
  standin::ClearLogRecords();
  EXPECT_EQ(brimwarden::LoadConfig(), "DryRun in config is not a boolean: 1");
  EXPECT_EQ(PluginLines(),
            (std::vector<Line>{{spdlog::level::err, "DryRun in config is not a boolean: 1"}}));
}

// ---- Zones
// ------------------------------------------------------------------------------------------

TEST_F(ConfigTest, ZonesAreReadInAscendingNameOrderFromTheFirstThreeElements) {
  server_.WriteConfig(Section(R"({"DinosPerTick": 1, "BottomRayDistance": 1,
      "Kill Zones": {
      "b": {"Corner1": [1, 2, 3, 4], "Corner2": [-1.5, 0.1, 1e10], "Colour": "red"},
      "a\n": {"Corner1": [true, false, 2500.9], "Corner2": [9, 8, 7, "x"]},
      "\u00e9t\u00e9": {"Corner1": [0, 0, 0], "Corner2": [-3.4e38, 3.4e38, -0.0]}}})"));
  EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
  ASSERT_EQ(PluginSettings.KillZones.size(), 3U);
  const KillZone& a = PluginSettings.KillZones[0];
  const KillZone& b = PluginSettings.KillZones[1];
  const KillZone& ete = PluginSettings.KillZones[2];
  EXPECT_EQ(a.Name, "a\n");
  EXPECT_TRUE(SameVector(a.Corner1, {1.0F, 0.0F, 2500.9F}));
  EXPECT_TRUE(SameVector(a.Corner2, {9.0F, 8.0F, 7.0F}));
  EXPECT_EQ(b.Name, "b");
  EXPECT_TRUE(SameVector(b.Corner1, {1.0F, 2.0F, 3.0F}));
  EXPECT_TRUE(SameVector(b.Corner2, {-1.5F, 0.1F, 1e10F}));
  EXPECT_EQ(ete.Name, "\xC3\xA9t\xC3\xA9");
  EXPECT_TRUE(SameVector(ete.Corner2, {-3.4e38F, 3.4e38F, -0.0F}));
  // The elements past three are named, after the default warnings, in the order of the zones.
  EXPECT_EQ(PluginLines(),
            (std::vector<Line>{
                {spdlog::level::warn, "TopRayDistance not set in config, using 150k"},
                {spdlog::level::warn,
                 "config.json: Corner2 of kill zone a\\u000a has more than three numbers; a save "
                 "would drop the rest"},
                {spdlog::level::warn,
                 "config.json: Corner1 of kill zone b has more than three numbers; a save would "
                 "drop the rest"}}));
}

TEST_F(ConfigTest, NullOrEmptyZonesAddNothingAndLogNothing) {
  for (const char* zones : {"null", "{}", "[]", " [ ] "}) {
    SCOPED_TRACE(zones);
    server_.WriteConfig(Section(std::string(R"({"TopRayDistance": 1, "BottomRayDistance": 1, )") +
                                R"("DinosPerTick": 1, "Kill Zones": )" + zones + "}"));
    PluginSettings = Sentinel();
    standin::ClearLogRecords();
    EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
    EXPECT_TRUE(PluginSettings.KillZones.empty());
    EXPECT_TRUE(PluginLines().empty());
  }
}

TEST_F(ConfigTest, ReloadReplacesTheZonesWithTheFileOnes) {
  server_.WriteConfig(Section(R"({"Kill Zones": {
      "a": {"Corner1": [1, 1, 1], "Corner2": [2, 2, 2]},
      "b": {"Corner1": [3, 3, 3], "Corner2": [4, 4, 4]}}})"));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);  // no second copy of each
  ASSERT_EQ(PluginSettings.KillZones.size(), 2U);

  server_.WriteConfig(
      Section(R"({"Kill Zones": {"b": {"Corner1": [5, 5, 5], "Corner2": [6, 6, 6]}}})"));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  ASSERT_EQ(PluginSettings.KillZones.size(), 1U);  // a, deleted from the file, is gone
  EXPECT_EQ(PluginSettings.KillZones[0].Name, "b");
  EXPECT_TRUE(SameVector(PluginSettings.KillZones[0].Corner1, {5, 5, 5}));
}

// ---- "BWD.reload" -------------------------------------------------------------------------------

struct FakePacket {
  std::int32_t size = 20;
  std::int32_t id = 0;
  std::int32_t type = 2;
};

std::vector<standin::Event> RconReplies() {
  std::vector<standin::Event> replies;
  for (const standin::Event& event : standin::Events()) {
    if (event.kind == standin::EventKind::kRcon) replies.push_back(event);
  }
  return replies;
}

TEST_F(ConfigTest, ReloadRepliesWithTheOutcome) {
  struct Case {
    std::optional<std::string> file;
    std::int32_t id;
    std::string reply;
  };
  const Case cases[] = {
      {Section(R"({"DinosPerTick": 9})"), 42, "Config Reloaded."},
      {R"({"Elsewhere": {}})", -7, "Config reload failed: Server key not found in config"},
      {std::nullopt, 0, "Config reload failed: Failed to open config file"},
      {Section(R"({"TopRayDistance": "x"})"), 2147483647,
       "Config reload failed: [json.exception.type_error.302] type must be number, but is string"},
      {Section(R"({"Kill Zones": {"\u00fcber": {"Corner1": [1e39, 0, 0], "Corner2": [0, 0, 0]}}})"),
       5,
       "Config reload failed: Corner1 of kill zone \"\xC3\xBC"
       "ber\" in config has a coordinate that is not finite as a float: 1e+39"},
  };
  auto* connection = reinterpret_cast<RCONClientConnection*>(0x1000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    std::error_code ignored;
    std::filesystem::remove(server_.ConfigPath(), ignored);
    if (c.file) server_.WriteConfig(*c.file);
    standin::ClearEvents();
    const auto before = standin::GetAllocatorStats();
    FakePacket packet;
    packet.id = c.id;
    brimwarden::ReloadConfigCommand(connection, reinterpret_cast<RCONPacket*>(&packet), nullptr);
    const std::vector<standin::Event> replies = RconReplies();
    ASSERT_EQ(replies.size(), 1U);
    EXPECT_EQ(replies[0].text, c.reply);
    EXPECT_EQ(replies[0].id, c.id);
    // The reply's storage came from the game allocator and went back to it.
    EXPECT_EQ(standin::GetAllocatorStats().live_blocks, before.live_blocks);
  }
  EXPECT_EQ(PluginSettings.DinosPerTick, 9);  // the failures after the first changed nothing
}

TEST_F(ConfigTest, ReloadContainsAFailingReply) {
  server_.WriteConfig(Section("{}"));
  standin::ThrowFromGameFunction("RCONClientConnection.SendMessageW");
  FakePacket packet;
  brimwarden::ReloadConfigCommand(reinterpret_cast<RCONClientConnection*>(0x1000),
                                  reinterpret_cast<RCONPacket*>(&packet), nullptr);
  const std::vector<Line> lines = PluginLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            (Line{spdlog::level::err,
                  "ReloadConfigCommand: injected: RCONClientConnection.SendMessageW"}));
  EXPECT_EQ(PluginSettings.DinosPerTick, 20);  // the load itself went through
}

// ---- Save
// ------------------------------------------------------------------------------------------

TEST_F(ConfigTest, SaveRewritesOnlyThisServersZonesWithExactBytes) {
  // Tabs, members out of order, numbers in other spellings: all come back in the library's form.
  server_.WriteConfig(
      "{\n\t\"TestServer\": {\"DinosPerTick\": 5, \"TopRayDistance\": 1.5e3,\n"
      "\t\t\"Kill Zones\": {\"old\": {\"Corner1\": [0, 0, 0], \"Corner2\": [1, 1, 1]}},"
      " \"BottomRayDistance\": 200},\n"
      "\t\"Alpha\": {\"Kill Zones\": {\"z\": {\"Corner2\": [3, 2, 1], \"Corner1\": [-1, -2, -3]}},"
      " \"DinosPerTick\": 40, \"Note\": \"caf\\u00e9\"},\n"
      "\t\"Version\": 2\n}\n");
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  standin::ClearLogRecords();
  PluginSettings.KillZones = {
      {"spawn", {1200.0F, 0.1F, 123456.78F}, {-5.0F, -0.0F, 1e-5F}},
      {"Beach", {1, 2, 3}, {4, 5, 6}},
  };
  EXPECT_TRUE(brimwarden::SaveKillZones());
  EXPECT_EQ(server_.ReadConfig(), R"({
    "Alpha": {
        "DinosPerTick": 40,
        "Kill Zones": {
            "z": {
                "Corner1": [
                    -1,
                    -2,
                    -3
                ],
                "Corner2": [
                    3,
                    2,
                    1
                ]
            }
        },
        "Note": "café"
    },
    "TestServer": {
        "BottomRayDistance": 200,
        "DinosPerTick": 5,
        "Kill Zones": {
            "Beach": {
                "Corner1": [
                    1.0,
                    2.0,
                    3.0
                ],
                "Corner2": [
                    4.0,
                    5.0,
                    6.0
                ]
            },
            "spawn": {
                "Corner1": [
                    1200.0,
                    0.10000000149011612,
                    123456.78125
                ],
                "Corner2": [
                    -5.0,
                    -0.0,
                    9.999999747378752e-06
                ]
            }
        },
        "TopRayDistance": 1500.0
    },
    "Version": 2
}
)");
  // Only the lock file stays beside the configuration.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(server_.PluginDir())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
  EXPECT_TRUE(PluginLines().empty());
  EXPECT_EQ(ServerKeyLines(), std::vector<std::string>{"Server Key: TestServer"});
  EXPECT_EQ(PluginSettings.KillZones.size(), 2U);  // the list itself is not changed
}

TEST_F(ConfigTest, SaveKeepsDryRunAsItFindsItAndNeverWritesIt) {
  for (const char* member : {R"("DryRun": true, )", R"("DryRun": false, )", ""}) {
    SCOPED_TRACE(member);
    server_.WriteConfig(Section(std::string("{") + member + R"("DinosPerTick": 5})"));
    ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
    PluginSettings.DryRun = !PluginSettings.DryRun;  // what memory holds is not written
    PluginSettings.KillZones = {{"a", {1, 2, 3}, {4, 5, 6}}};
    ASSERT_TRUE(brimwarden::SaveKillZones());
    const nlohmann::json section = nlohmann::json::parse(server_.ReadConfig()).at("TestServer");
    if (*member == '\0') {
      EXPECT_FALSE(section.contains("DryRun"));
    } else {
      EXPECT_EQ(section.at("DryRun"), std::string(member).find("true") != std::string::npos);
    }
  }
}

TEST_F(ConfigTest, SaveUnderAKeyWithoutSectionAddsOneThatLoadsWithDefaults) {
  server_.WriteConfig(R"({"Alpha": {"DinosPerTick": 3}})");
  PluginSettings.KillZones = {{"spawn", {1, 2, 3}, {4, 5, 6}}, {"spawn", {7, 8, 9}, {10, 11, 12}}};
  ASSERT_TRUE(brimwarden::SaveKillZones());
  const Json saved = Json::parse(server_.ReadConfig());
  EXPECT_EQ(saved["Alpha"], Json::parse(R"({"DinosPerTick": 3})"));
  // Of two zones with one name, the later decides the entry.
  EXPECT_EQ(saved["TestServer"], Json::parse(R"({"Kill Zones": {"spawn":
      {"Corner1": [7.0, 8.0, 9.0], "Corner2": [10.0, 11.0, 12.0]}}})"));

  standin::ClearLogRecords();
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  EXPECT_EQ(PluginLines().size(), 3U);  // the three "not set" warnings
  EXPECT_EQ(PluginSettings.TopRayDistance, 150000);
  EXPECT_EQ(PluginSettings.BottomRayDistance, -150000);
  EXPECT_EQ(PluginSettings.DinosPerTick, 20);
  ASSERT_EQ(PluginSettings.KillZones.size(), 1U);
  EXPECT_TRUE(SameVector(PluginSettings.KillZones[0].Corner2, {10, 11, 12}));
}

TEST_F(ConfigTest, SaveIntoANullSectionMakesItAnObject) {
  server_.WriteConfig(R"({"TestServer": null})");
  PluginSettings.KillZones = {{"a", {0, 0, 0}, {1, 1, 1}}};
  ASSERT_TRUE(brimwarden::SaveKillZones());
  EXPECT_EQ(Json::parse(server_.ReadConfig()),
            Json::parse(R"({"TestServer": {"Kill Zones": {"a": {"Corner1": [0.0, 0.0, 0.0],
                                                                 "Corner2": [1.0, 1.0, 1.0]}}}})"));
}

TEST_F(ConfigTest, EverySaveFailureIsLoggedAtErrorAndLeavesTheFileAsItWas) {
  struct Case {
    const char* what;
    std::string file;
    std::vector<KillZone> zones;
    std::string error;
  };
  const std::vector<KillZone> kGood = {{"a", {1, 2, 3}, {4, 5, 6}}};
  const std::string kBroken = R"({"TestServer": {)";
  const Case cases[] = {
      {"not JSON", kBroken, kGood, LibraryParseError(kBroken)},
      {"null document", "null", kGood, "Failed to load config"},
      {"array document", "[1]", kGood,
       "[json.exception.type_error.305] cannot use operator[] with a string argument with array"},
      {"number section", Section("5"), kGood,
       "[json.exception.type_error.305] cannot use operator[] with a string argument with number"},
      {"array section", Section("[]"), kGood,
       "[json.exception.type_error.305] cannot use operator[] with a string argument with array"},
      {"nested too deep", R"({"Deep": )" + Nested(65) + "}", kGood,
       "Config file is nested deeper than 64 levels"},
      {"corner not finite",
       Section("{}"),
       {{"a", {1, 2, 3}, {4, 5, 6}}, {"b", {1, std::numeric_limits<float>::infinity(), 3}, {}}},
       "Kill zone \"b\" has a corner that is not finite; config file not changed"},
      {"NaN corner",
       Section("{}"),
       {{"n", {}, {std::nanf(""), 0, 0}}},
       "Kill zone \"n\" has a corner that is not finite; config file not changed"},
      {"name not UTF-8",
       Section("{}"),
       {{"bad\xFF", {1, 2, 3}, {4, 5, 6}}},
       "[json.exception.type_error.316] invalid UTF-8 byte at index 3: 0xFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server_.WriteConfig(c.file);
    PluginSettings.KillZones = c.zones;
    standin::ClearLogRecords();
    EXPECT_FALSE(brimwarden::SaveKillZones());
    EXPECT_EQ(PluginLines(), (std::vector<Line>{{spdlog::level::err, c.error}}));
    EXPECT_EQ(server_.ReadConfig(), c.file);
    EXPECT_FALSE(std::filesystem::exists(server_.PluginDir() / "config.json.tmp"));
  }
}

TEST_F(ConfigTest, SaveWithoutAFileCreatesNothing) {
  PluginSettings.KillZones = {{"a", {1, 2, 3}, {4, 5, 6}}};
  EXPECT_FALSE(brimwarden::SaveKillZones());
  EXPECT_EQ(PluginLines(), (std::vector<Line>{{spdlog::level::err, "Failed to open config file"}}));
  EXPECT_TRUE(std::filesystem::is_empty(server_.PluginDir()));
  EXPECT_EQ(PluginSettings.KillZones.size(), 1U);  // the zone still works until the next load
}

TEST_F(ConfigTest, SaveThatCannotWriteItsTemporaryFileKeepsTheOriginal) {
  const std::string original = Section(R"({"DinosPerTick": 5})");
  server_.WriteConfig(original);
  std::filesystem::create_directory(server_.PluginDir() / "config.json.tmp");
  PluginSettings.KillZones = {{"a", {1, 2, 3}, {4, 5, 6}}};
  EXPECT_FALSE(brimwarden::SaveKillZones());
  const std::vector<Line> lines = PluginLines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].level, spdlog::level::err);
  EXPECT_EQ(lines[0].text.rfind("Failed to create " + brimwarden::GetConfigPath() + ".tmp: ", 0),
            0U)
      << lines[0].text;
  EXPECT_EQ(server_.ReadConfig(), original);
}

#if defined(_WIN32)
using LockHandle = HANDLE;
LockHandle TakeLock(const std::filesystem::path& path) {
  const HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  OVERLAPPED first_byte{};
  EXPECT_TRUE(LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first_byte));
  return file;
}
void ReleaseLock(LockHandle file) { CloseHandle(file); }
#else
using LockHandle = int;
LockHandle TakeLock(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  EXPECT_EQ(flock(fd, LOCK_EX), 0);
  return fd;
}
void ReleaseLock(LockHandle fd) { close(fd); }
#endif

// A peer's save holds the lock for milliseconds: a save waits that out, but gives up after 250 ms
// in all rather than freeze the game thread.
TEST_F(ConfigTest, SaveWaitsForAnotherHolderOfTheLockAtMost250Ms) {
  const std::string original = Section("{}");
  server_.WriteConfig(original);
  PluginSettings.KillZones = {{"a", {1, 2, 3}, {4, 5, 6}}};
  const std::filesystem::path lock_path = server_.PluginDir() / "config.json.lock";

  // Held for good: the save fails, the file as it was.
  LockHandle lock = TakeLock(lock_path);
  EXPECT_FALSE(brimwarden::SaveKillZones());
  EXPECT_EQ(
      PluginLines(),
      (std::vector<Line>{{spdlog::level::err, "Failed to lock " + brimwarden::GetConfigPath() +
                                                  ".lock: another process held it for 250 ms"}}));
  EXPECT_EQ(server_.ReadConfig(), original);

  // Let go after a moment: the save waits for it.
  bool saved = false;
  std::thread saver([&saved] { saved = brimwarden::SaveKillZones(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string while_locked = server_.ReadConfig();
  ReleaseLock(lock);
  saver.join();
  EXPECT_EQ(while_locked, original);
  EXPECT_TRUE(saved);
  EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].size(), 1U);
}

#if defined(_WIN32)
// Another program holding config.json open without delete sharing blocks the rename for a while.
TEST_F(ConfigTest, SaveRetriesTheRenameWhileAnotherProgramHoldsTheFile) {
  const std::string original = Section("{}");
  server_.WriteConfig(original);
  PluginSettings.KillZones = {{"a", {1, 2, 3}, {4, 5, 6}}};
  auto hold = [this] {
    return CreateFileW(server_.ConfigPath().wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };

  // Held for good: every attempt fails, the failure is reported, and the file and its backup are
  // kept.
  const std::filesystem::path backup = server_.PluginDir() / "config.json.bak";
  { std::ofstream(backup, std::ios::binary) << "the backup before"; }
  HANDLE held = hold();
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(brimwarden::SaveKillZones());
  CloseHandle(held);
  const std::vector<Line> lines = PluginLines();
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].text.rfind("Failed to replace " + brimwarden::GetConfigPath() + ": ", 0), 0U)
      << lines[0].text;
  EXPECT_EQ(server_.ReadConfig(), original);
  {
    std::ifstream kept(backup, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the backup before");
  }
  for (const char* name : {"config.json.tmp", "config.json.bak.tmp", "config.json.bak.old"}) {
    EXPECT_FALSE(std::filesystem::exists(server_.PluginDir() / name)) << name;
  }

  // Let go after a moment: a later attempt succeeds.
  held = hold();
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::thread release([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    CloseHandle(held);
  });
  EXPECT_TRUE(brimwarden::SaveKillZones());
  release.join();
  EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].size(), 1U);
}
#else
TEST_F(ConfigTest, SaveKeepsTheFilePermissions) {
  server_.WriteConfig(Section("{}"));
  std::filesystem::permissions(server_.ConfigPath(), std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write);
  ASSERT_TRUE(brimwarden::SaveKillZones());
  EXPECT_EQ(std::filesystem::status(server_.ConfigPath()).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}
#endif

TEST_F(ConfigTest, WorksWithoutALogger) {
  brimwarden::PluginLogger().reset();
  server_.WriteConfig(Section("{}"));
  EXPECT_EQ(brimwarden::LoadConfig(), std::nullopt);
  EXPECT_TRUE(brimwarden::SaveKillZones());
  std::filesystem::remove(server_.ConfigPath());
  EXPECT_EQ(brimwarden::LoadConfig(), "Failed to open config file");
  EXPECT_TRUE(standin::LogRecords().empty());
}

}  // namespace
