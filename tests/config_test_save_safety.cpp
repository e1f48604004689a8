// What a save must never lose: other people's edits, text after the first JSON value, the links
// and hard links that share the file, its owner and group, the previous content (kept as
// config.json.bak), and files that a planted name points at. Also a server folder whose name is
// not ASCII. This program is started with -serverkey=TestServer.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/logger.h>
#include <nlohmann/json.hpp>

#include "brimwarden/config/config.h"
#include "brimwarden/plugin/plugin.h"
#include "brimwarden/standin/standin.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using brimwarden::KillZone;
using brimwarden::PluginSettings;
using brimwarden::test::ServerDir;
using Json = nlohmann::json;

const std::string kHardLinks =
    "Kill zones not saved: config.json has 2 hard links, and saving would split them; share it "
    "through a symbolic link instead";
const std::string kTrailing =
    "Kill zones not saved: config.json has text after its first JSON value; remove it and send "
    "BWD.reload";
const std::string kChanged =
    "Kill zones not saved: this server's zones in config.json changed since they were loaded; "
    "send BWD.reload and try again";
std::string Duplicate(const std::string& name) {
  return "Kill zones not saved: config.json has the member " + name +
         " more than once in one object; keep one and send BWD.reload";
}
std::string LongCorner(const std::string& corner, const std::string& zone) {
  return "Kill zones not saved: " + corner + " of kill zone " + zone +
         " in config.json has more than three numbers; remove the rest and send BWD.reload";
}
std::string ChangedNumber(const std::string& text, const std::string& read_as) {
  return "Kill zones not saved: config.json holds the number " + text +
         ", which a save would change to " + read_as + "; write it as a string and send BWD.reload";
}
std::string FailedLoad(const std::string& reason) {
  return "Kill zones not saved: the last load of config.json failed (" + reason +
         "); fix config.json and send BWD.reload";
}

// The plugin's lines at error.
std::vector<std::string> Errors() { return brimwarden::test::LogTexts(spdlog::level::err); }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::set<std::string> Names(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string Section(const std::string& zones) {
  return R"({"Other": {"Note": "theirs"}, "TestServer": {"DinosPerTick": 4, "Kill Zones": {)" +
         zones + "}}}";
}
const std::string kGate = R"("Gate": {"Corner1": [0, 0, 0], "Corner2": [10, 10, 10]})";
const std::string kPier = R"("Pier": {"Corner1": [5, 5, 5], "Corner2": [6, 6, 6]})";
const KillZone kNew = {"New", {1, 1, 1}, {2, 2, 2}};

// The number of names the file has; the C runtime on Windows always says 1.
std::uint64_t LinkCount(const fs::path& path) {
#if defined(_WIN32)
  const HANDLE file =
      CreateFileW(path.wstring().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION information{};
  const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return known ? information.nNumberOfLinks : 0;
#else
  return fs::hard_link_count(path);
#endif
}

#if defined(_WIN32)
// Wine cannot create a Windows symbolic link, and follows a Unix one when it deletes or renames
// it, but it starts Unix programs: ln and rm work on the Unix side, where Windows code sees a link
// as a plain file. Wine cannot wait for a Unix process, so `done` is polled instead.
template <typename Done>
void RunUnix(const std::wstring& program, const std::vector<fs::path>& paths, Done done) {
  using UnixName = char*(__cdecl*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixName>(
      GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name"));
  ASSERT_NE(unix_name, nullptr) << "not running under Wine";
  std::wstring command = program;
  for (const fs::path& path : paths) {
    char* name = unix_name(path.wstring().c_str());
    ASSERT_NE(name, nullptr) << path;
    command += L" \"" + fs::path(name).wstring() + L"\"";
    HeapFree(GetProcessHeap(), 0, name);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 1000 && !done(); ++i) Sleep(10);
  ASSERT_TRUE(done()) << "no effect seen of a Unix program";
}

bool Exists(const fs::path& path) {
  return GetFileAttributesW(path.wstring().c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeSymlink(const fs::path& target, const fs::path& link) {
  RunUnix(L"Z:\\bin\\ln -s", {target, link}, [&] { return Exists(link); });
}

void RemoveSymlink(const fs::path& link) {
  RunUnix(L"Z:\\bin\\rm", {link}, [&] { return !Exists(link); });
}
#else
void MakeSymlink(const fs::path& target, const fs::path& link) { fs::create_symlink(target, link); }
#endif

#if !defined(_WIN32)
struct stat StatOf(const fs::path& path) {
  struct stat information {};
  EXPECT_EQ(stat(path.c_str(), &information), 0);
  return information;
}
#endif

class SaveSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    brimwarden::ResetProcessObjects();
    const auto& sinks = GetLogSinks();
    brimwarden::PluginLogger() =
        std::make_shared<spdlog::logger>(brimwarden::LoggerName, sinks.begin(), sinks.end());
    standin::ClearLogRecords();
  }
  void TearDown() override {
    brimwarden::SaveStepFaultForTests = nullptr;
    brimwarden::PluginLogger().reset();
    brimwarden::ResetProcessObjects();
  }

  // Loads `loaded`, puts `now` in its place as someone else would, confirms one more zone, and
  // expects the save to be refused with `error` and the file to be left byte for byte.
  void ExpectRefused(const std::vector<std::string>& loads, const std::string& now,
                     const std::string& error) {
    for (const std::string& file : loads) {
      server_.WriteConfig(file);
      brimwarden::LoadConfig();
    }
    server_.WriteConfig(now);
    PluginSettings.KillZones.push_back(kNew);
    standin::ClearLogRecords();
    EXPECT_FALSE(brimwarden::SaveKillZones());
    EXPECT_EQ(Errors(), std::vector<std::string>{error});
    EXPECT_EQ(server_.ReadConfig(), now);
    EXPECT_EQ(Names(server_.PluginDir()),
              (std::set<std::string>{"config.json", "config.json.lock"}));
    EXPECT_EQ(PluginSettings.KillZones.back().Name, "New");  // the zone stays active
  }

  ServerDir server_;
};

// ---- Refusals -----------------------------------------------------------------------------------

TEST_F(SaveSafetyTest, RefusesToUndoOtherPeoplesEditsAndSaysWhy) {
  const std::string kGateOnly = Section(kGate);
  const std::string kBroken = Section(R"("Gate": {"Corner2": [1, 2, 3]})");
  const std::string kBrokenReason = "Kill zone \"Gate\": Corner1 is missing";
  struct Case {
    const char* what;
    std::vector<std::string> loads;
    std::string now;
    std::string error;
  };
  const Case cases[] = {
      {"a zone added by hand", {kGateOnly}, Section(kGate + ", " + kPier), kChanged},
      {"a zone removed by hand", {Section(kGate + ", " + kPier)}, kGateOnly, kChanged},
      {"a corner moved by hand",
       {kGateOnly},
       Section(R"("Gate": {"Corner1": [0, 0, 0], "Corner2": [10, 10, 10.5]})"),
       kChanged},
      {"the section removed", {kGateOnly}, R"({"Other": {}})", kChanged},
      {"the zones emptied", {kGateOnly}, Section(""), kChanged},
      {"a zone broken by hand", {kGateOnly}, kBroken, kChanged},
      // A stray brace turned the neighbour's section into text after the first value.
      {"text after the value",
       {kGateOnly},
       R"({"TestServer": {"Kill Zones": {)" + kGate + R"(}}}}, "Other": {"Note": "theirs"}})",
       kTrailing},
      // The JSON library's reader stops at a NUL, but what follows it is still in the file.
      {"a NUL and text after the value",
       {kGateOnly},
       kGateOnly + std::string("\n\0\0", 3) + R"("Other": {"Note": "theirs"}})",
       kTrailing},
      {"a failed load", {kBroken}, kBroken, FailedLoad(kBrokenReason)},
      // The library keeps the last of several members of one name; a rewrite would drop the rest.
      {"this section written twice",
       {kGateOnly},
       R"({"TestServer": {"Kill Zones": {}}, "TestServer": {"Kill Zones": {)" + kGate + "}}}",
       Duplicate("TestServer")},
      {"a name twice in another section, the one met first named",
       {kGateOnly},
       R"({"A": {"b": {"x\u0007": 1, "x\u0007": 2}, "b": 3}, "TestServer": {"Kill Zones": {)" +
           kGate + "}}}",
       Duplicate("x\\u0007")},
      {"text after the value and a name twice",
       {kGateOnly},
       Section(kGate + ", " + kGate) + "}",
       kTrailing},
      // The load read the first three numbers of a corner; the rewrite would drop the rest.
      {"a corner with four numbers",
       {Section(kGate + R"(, "Pier": {"Corner1": [5, 5, 5, 5], "Corner2": [6, 6, 6, 6, 6]})")},
       Section(kGate + R"(, "Pier": {"Corner1": [5, 5, 5, 5], "Corner2": [6, 6, 6, 6, 6]})"),
       LongCorner("Corner1", "Pier")},
      {"a corner with four numbers and zones changed",
       {Section(R"("Pier": {"Corner1": [5, 5, 5, 5], "Corner2": [6, 6, 6]})")},
       Section(kGate + R"(, "Pier": {"Corner1": [5, 5, 5, 5], "Corner2": [6, 6, 6]})"),
       kChanged},
      // Numbers the library cannot hold as written, anywhere in the file; the first one is named.
      {"an id of 20 digits",
       {kGateOnly},
       R"({"Other": {"Ids": [76561198000000000123, 1e-400]}, "TestServer": {"DinosPerTick": 4, )"
       R"("Kill Zones": {)" +
           kGate + "}}}",
       ChangedNumber("76561198000000000123", "7.656119800000001e+19")},
      {"an integer below the 64-bit range",
       {kGateOnly},
       R"({"Other": -9223372036854775809, "TestServer": {"DinosPerTick": 4, "Kill Zones": {)" +
           kGate + "}}}",
       ChangedNumber("-9223372036854775809", "-9.223372036854776e+18")},
      {"a number read as zero",
       {kGateOnly},
       R"({"Other": 4.9e-330, "TestServer": {"DinosPerTick": 4, "Kill Zones": {)" + kGate + "}}}",
       ChangedNumber("4.9e-330", "0.0")},
      {"a long corner and a changed number",
       {Section(R"("Gate": {"Corner1": [0, 0, 0], "Corner2": [1, 1, 1, 1e-999]})")},
       Section(R"("Gate": {"Corner1": [0, 0, 0], "Corner2": [1, 1, 1, 1e-999]})"),
       LongCorner("Corner2", "Gate")},
      {"a zone twice and a failed load",
       {kBroken},
       Section(R"("Gate": {"Corner2": [1, 2, 3]}, "Gate": {"Corner2": [1, 2, 3]})"),
       Duplicate("Gate")},
      {"text after the value and a failed load", {kBroken}, kBroken + "\n}", kTrailing},
      {"a failed load and zones changed since",
       {kGateOnly, kBroken},
       Section(kGate + ", " + kPier),
       FailedLoad(kBrokenReason)},
      {"a failed load for a negative distance",
       {R"({"TestServer": {"BottomRayDistance": -150000}})"},
       R"({"TestServer": {"BottomRayDistance": -150000}})",
       FailedLoad("BottomRayDistance in config cannot be negative: -150000")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    brimwarden::ResetProcessObjects();
    ExpectRefused(c.loads, c.now, c.error);
  }
}

TEST_F(SaveSafetyTest, SavesWhenTheFileHoldsTheSameZonesWrittenAnotherWay) {
  server_.WriteConfig(Section(R"("Gate": {"Corner1": [0, 0, 0], "Corner2": [10, 10, 10]},
      "Pier": {"Corner1": [0.1, true, -0], "Corner2": [6, 6, 6]})"));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  // Someone else edits other members and rewrites the zones in another spelling and order.
  server_.WriteConfig(R"({"TestServer": {"DinosPerTick": 9, "Kill Zones": {
      "Pier": {"Corner2": [6.0, 6.0, 6.0], "Corner1": [0.10000000149011612, 1, 0.0]},
      "Gate": {"Corner1": [0.0, 0, 0], "Corner2": [1e1, 10, 10.0]}}}, "Other": {"Note": "edited"}})");
  PluginSettings.KillZones.push_back(kNew);
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  Json saved = Json::parse(server_.ReadConfig());
  EXPECT_EQ(saved["Other"]["Note"], "edited");
  EXPECT_EQ(saved["TestServer"]["DinosPerTick"], 9);
  EXPECT_EQ(saved["TestServer"]["Kill Zones"].size(), 3U);

  // Zones removed from memory (as a removal command does) are saved as removed: what counts is
  // what this process last wrote, not what memory holds now.
  PluginSettings.KillZones.erase(PluginSettings.KillZones.begin());  // Gate
  ASSERT_TRUE(brimwarden::SaveKillZones());
  PluginSettings.KillZones.clear();
  ASSERT_TRUE(brimwarden::SaveKillZones());
  saved = Json::parse(server_.ReadConfig());
  EXPECT_EQ(saved["TestServer"]["Kill Zones"], Json::object());
  EXPECT_TRUE(Errors().empty());
}

// Numbers whose value the library holds keep it through a save, whatever their spelling.
TEST_F(SaveSafetyTest, NumbersTheLibraryHoldsAreSavedWhateverTheirSpelling) {
  const std::string kNumbers =
      R"([1e2, 100.0, 0.1000000000000000055511151231257827021181583404541015625, 0e5, -0.0,
          1e-300, 18446744073709551615, -9223372036854775808, 4.9e-324])";
  server_.WriteConfig(R"({"Other": )" + kNumbers + R"(, "TestServer": {"Kill Zones": {)" + kGate +
                      "}}}");
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  EXPECT_EQ(Json::parse(server_.ReadConfig())["Other"], Json::parse(kNumbers));
}

// A save writes back what else a kept zone's entry holds; a zone confirmed under its name, or
// removed, takes it with it.
TEST_F(SaveSafetyTest, KeptZonesKeepTheirOtherMembers) {
  server_.WriteConfig(Section(
      R"("Gate": {"_comment": "lava cave", "Corner1": [0, 0, 0], "Corner2": [10, 10, 10],
                  "Colour": [1, {"x": null}]},
         "Pier": {"_comment": "pier", "Corner1": [5, 5, 5], "Corner2": [6, 6, 6]})"));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  // "Pier" confirmed again, at the very same corners, as the zone commands replace a zone of the
  // same name: the new zone does not take the old one's comment.
  PluginSettings.KillZones.erase(PluginSettings.KillZones.begin() + 1);
  PluginSettings.KillZones.push_back({"Pier", {5, 5, 5}, {6, 6, 6}, true});
  PluginSettings.KillZones.push_back(kNew);
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"], Json::parse(R"({
      "Gate": {"_comment": "lava cave", "Colour": [1, {"x": null}],
               "Corner1": [0.0, 0.0, 0.0], "Corner2": [10.0, 10.0, 10.0]},
      "New": {"Corner1": [1.0, 1.0, 1.0], "Corner2": [2.0, 2.0, 2.0]},
      "Pier": {"Corner1": [5.0, 5.0, 5.0], "Corner2": [6.0, 6.0, 6.0]}})"));

  PluginSettings.KillZones.erase(PluginSettings.KillZones.begin());  // Gate removed
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  EXPECT_FALSE(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].contains("Gate"));
}

TEST_F(SaveSafetyTest, EmptyZoneArrayLoadsAsNoZonesAndIsSavedAsAnObject) {
  for (const std::string& file :
       {std::string(R"({"TestServer": {"Kill Zones": []}})"),
        std::string(R"({"TestServer": {"Kill Zones": null}})"),
        std::string(R"({"TestServer": {}})"), std::string(R"({"Other": {}})")}) {
    SCOPED_TRACE(file);
    brimwarden::ResetProcessObjects();
    server_.WriteConfig(file);
    brimwarden::LoadConfig();  // the last one fails: no section
    PluginSettings.KillZones = {kNew};
    ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
    EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"],
              Json::parse(R"({"New": {"Corner1": [1.0, 1.0, 1.0], "Corner2": [2.0, 2.0, 2.0]}})"));
  }
}

TEST_F(SaveSafetyTest, HardLinkedFileIsRefusedFirstOfAllAndLeftUntouched) {
  // Also text after the value and a failed load: the hard links are reported.
  const std::string file = Section(R"("Gate": {"Corner2": [1, 2, 3]})") + "}";
  server_.WriteConfig(file);
  brimwarden::LoadConfig();
  fs::create_hard_link(server_.ConfigPath(), server_.Path() / "other-name.json");
  PluginSettings.KillZones = {kNew};
  standin::ClearLogRecords();
  EXPECT_FALSE(brimwarden::SaveKillZones());
  EXPECT_EQ(Errors(), std::vector<std::string>{kHardLinks});
  EXPECT_EQ(server_.ReadConfig(), file);
  EXPECT_EQ(ReadFile(server_.Path() / "other-name.json"), file);
  EXPECT_EQ(LinkCount(server_.ConfigPath()), 2U);
  EXPECT_EQ(Names(server_.PluginDir()), (std::set<std::string>{"config.json", "config.json.lock"}));
}

const std::string kReadOnly = "Kill zones not saved: config.json is read-only";

// Takes away every write permission (on Windows sets the read-only attribute), or gives `mode`.
void SetMode(const fs::path& path, unsigned mode) {
#if defined(_WIN32)
  SetFileAttributesW(path.wstring().c_str(),
                     (mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
#else
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
#endif
}

// A file nobody may write was frozen on purpose: the save refuses it, root included, before any
// other refusal. One write permission for anyone is enough to save.
TEST_F(SaveSafetyTest, FileWithoutWritePermissionIsRefusedFirstOfAll) {
  struct Case {
    unsigned mode;
    bool hard_link;
    bool saved;
  };
  std::vector<Case> cases = {{0444, false, false}, {0444, true, false}, {0644, false, true}};
#if !defined(_WIN32)
  cases.push_back({0400, false, false});
  cases.push_back({0464, false, true});
  cases.push_back({0446, false, true});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << c.mode << (c.hard_link ? " hard link" : ""));
    brimwarden::ResetProcessObjects();
    if (fs::exists(server_.ConfigPath())) SetMode(server_.ConfigPath(), 0644);  // its links too
    fs::remove(server_.Path() / "other-name.json");
    // Text after the value as well: the read-only file is reported.
    const std::string file = Section(kGate) + (c.saved ? "" : "}");
    server_.WriteConfig(file);
    ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
    if (c.hard_link) fs::create_hard_link(server_.ConfigPath(), server_.Path() / "other-name.json");
    SetMode(server_.ConfigPath(), c.mode);
    PluginSettings.KillZones.push_back(kNew);
    standin::ClearLogRecords();
    EXPECT_EQ(brimwarden::SaveKillZones(), c.saved);
    if (c.saved) {
      EXPECT_TRUE(Errors().empty()) << ::testing::PrintToString(Errors());
      EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].size(), 2U);
#if !defined(_WIN32)
      EXPECT_EQ(StatOf(server_.ConfigPath()).st_mode & 07777, c.mode);
#endif
    } else {
      EXPECT_EQ(Errors(), std::vector<std::string>{kReadOnly});
      EXPECT_EQ(server_.ReadConfig(), file);
    }
  }
  SetMode(server_.ConfigPath(), 0644);
}

// ---- Links, planted names, the lock file --------------------------------------------------------

TEST_F(SaveSafetyTest, SaveThroughSymbolicLinksRewritesTheFileTheyNameAndKeepsThem) {
  const fs::path shared = server_.Path() / "shared";
  fs::create_directory(shared);
  WriteFile(shared / "shared.json", Section(kGate));
  MakeSymlink(shared / "shared.json", shared / "hop.json");
  MakeSymlink(shared / "hop.json", server_.ConfigPath());
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());

  // The shared file itself got the zone, so the links still lead to it; the lock, the backup
  // and the temporary file were beside it.
  const Json saved = Json::parse(ReadFile(shared / "shared.json"));
  EXPECT_EQ(saved["TestServer"]["Kill Zones"].size(), 2U);
  EXPECT_EQ(server_.ReadConfig(), ReadFile(shared / "shared.json"));
  EXPECT_EQ(ReadFile(shared / "shared.json.bak"), Section(kGate));
  EXPECT_EQ(Names(shared), (std::set<std::string>{"hop.json", "shared.json", "shared.json.bak",
                                                  "shared.json.lock"}));
  EXPECT_EQ(Names(server_.PluginDir()), std::set<std::string>{"config.json"});
#if !defined(_WIN32)
  EXPECT_TRUE(fs::is_symlink(server_.ConfigPath()));
  EXPECT_TRUE(fs::is_symlink(shared / "hop.json"));
#endif

  // A link that leads nowhere is a missing file, and nothing is created.
  fs::remove(shared / "shared.json");
  standin::ClearLogRecords();
  EXPECT_FALSE(brimwarden::SaveKillZones());
  EXPECT_EQ(Errors(), std::vector<std::string>{"Failed to open config file"});
  EXPECT_FALSE(fs::exists(shared / "shared.json"));
}

TEST_F(SaveSafetyTest, NamesPlantedBesideTheFileAreReplacedNeverFollowed) {
  const fs::path victim = server_.Path() / "victim.txt";
  WriteFile(victim, "precious");
  server_.WriteConfig(Section(kGate));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  // A hard link and symbolic links to a file outside the folder, under the save's own names.
  fs::create_hard_link(victim, server_.PluginDir() / "config.json.tmp");
  MakeSymlink(victim, server_.PluginDir() / "config.json.bak");
  MakeSymlink(victim, server_.PluginDir() / "config.json.bak.tmp");
  PluginSettings.KillZones.push_back(kNew);
#if defined(_WIN32)
  // Wine would delete the file a Unix link leads to instead of the link: the link is left for a
  // person to remove, and the save fails until then.
  EXPECT_FALSE(brimwarden::SaveKillZones());
  EXPECT_EQ(Errors(), std::vector<std::string>{"Failed to create " + brimwarden::GetConfigPath() +
                                               ".bak.tmp: a link to another file is in its place; "
                                               "remove it"});
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(server_.ReadConfig(), Section(kGate));
  // Once a person has removed the link, the save goes through.
  RemoveSymlink(server_.PluginDir() / "config.json.bak.tmp");
  EXPECT_EQ(ReadFile(victim), "precious");
  standin::ClearLogRecords();
#endif
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].size(), 2U);
  EXPECT_EQ(ReadFile(server_.PluginDir() / "config.json.bak"), Section(kGate));
  EXPECT_EQ(LinkCount(victim), 1U);
  EXPECT_EQ(Names(server_.PluginDir()),
            (std::set<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
#if !defined(_WIN32)
  EXPECT_FALSE(fs::is_symlink(server_.PluginDir() / "config.json.bak"));
#endif
}

TEST_F(SaveSafetyTest, LockFileThatIsNoRegularFileFailsTheSaveHonestly) {
  server_.WriteConfig(Section(kGate));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  const fs::path lock = server_.PluginDir() / "config.json.lock";
  const std::string prefix = "Failed to open lock file " + brimwarden::GetConfigPath() + ".lock: ";
  std::vector<std::pair<std::string, std::string>> cases;  // what is there, the reason
  cases.emplace_back("a directory", "");
#if !defined(_WIN32)
  cases.emplace_back("a symbolic link", "it is a symbolic link");
  cases.emplace_back("a named pipe", "not a regular file");
#endif
  for (const auto& [what, reason] : cases) {
    SCOPED_TRACE(what);
    fs::remove(lock);
#if !defined(_WIN32)
    if (what == "a directory") fs::create_directory(lock);
    if (what == "a symbolic link") fs::create_symlink(server_.Path() / "elsewhere", lock);
    if (what == "a named pipe") {
      ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);
    }
#else
    fs::create_directory(lock);
#endif
    standin::ClearLogRecords();
    EXPECT_FALSE(brimwarden::SaveKillZones());
    const std::vector<std::string> errors = Errors();
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_EQ(errors[0].rfind(prefix, 0), 0U) << errors[0];
    if (!reason.empty()) {
      EXPECT_EQ(errors[0], prefix + reason);
    }
    EXPECT_EQ(server_.ReadConfig(), Section(kGate));
    EXPECT_FALSE(fs::exists(server_.Path() / "elsewhere"));
    fs::remove(lock);
  }
}

// A lock file that this account may only read (made read-only by hand, or by another account) is
// still a lock: taking it needs no write access.
TEST_F(SaveSafetyTest, LockFileThatCannotBeWrittenStillLocks) {
  server_.WriteConfig(Section(kGate));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  const fs::path lock = server_.PluginDir() / "config.json.lock";
  WriteFile(lock, "");
  SetMode(lock, 0444);
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].size(), 2U);
  SetMode(lock, 0644);
}

// ---- The backup ---------------------------------------------------------------------------------

TEST_F(SaveSafetyTest, EachSaveKeepsThePreviousContentAsTheBackup) {
  const std::string first = Section(kGate) + "\n";
  server_.WriteConfig(first);
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  ASSERT_TRUE(brimwarden::SaveKillZones());
  const fs::path backup = server_.PluginDir() / "config.json.bak";
  EXPECT_EQ(ReadFile(backup), first);
  const std::string second = server_.ReadConfig();
  PluginSettings.KillZones.erase(PluginSettings.KillZones.begin());
  ASSERT_TRUE(brimwarden::SaveKillZones());
  EXPECT_EQ(ReadFile(backup), second);  // one generation
  // Restoring by hand: the backup put back in place loads with the zone removed by mistake.
  server_.WriteConfig(ReadFile(backup));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  EXPECT_EQ(PluginSettings.KillZones.size(), 2U);
}

// A save that fails at any step, from the backup's own write to the final rename, leaves the file
// and its backup as they were, with or without a backup before it; the next save goes through.
TEST_F(SaveSafetyTest, FailedSaveLeavesTheFileAndItsBackupAsTheyWere) {
  using brimwarden::SaveStep;
  static SaveStep failing;
  brimwarden::SaveStepFaultForTests = [](SaveStep step) -> std::optional<std::string> {
    if (step == failing) return "injected failure";
    return std::nullopt;
  };
  const fs::path backup = server_.PluginDir() / "config.json.bak";
  const SaveStep steps[] = {SaveStep::kWriteBackup, SaveStep::kWriteFile, SaveStep::kSetBackupAside,
                            SaveStep::kPlaceBackup, SaveStep::kPlaceFile};
  for (const bool had_backup : {true, false}) {
    for (const SaveStep step : steps) {
      SCOPED_TRACE(::testing::Message() << "step " << static_cast<int>(step)
                                        << (had_backup ? ", with a backup" : ", no backup"));
      brimwarden::ResetProcessObjects();
      fs::remove(backup);
      const std::string file = Section(kGate);
      server_.WriteConfig(file);
      if (had_backup) WriteFile(backup, "the backup before");
      ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
      PluginSettings.KillZones.push_back(kNew);
      failing = step;
      standin::ClearLogRecords();
      EXPECT_FALSE(brimwarden::SaveKillZones());
      EXPECT_EQ(Errors(), std::vector<std::string>{"injected failure"});
      EXPECT_EQ(server_.ReadConfig(), file);
      if (had_backup) {
        EXPECT_EQ(ReadFile(backup), "the backup before");
        EXPECT_EQ(Names(server_.PluginDir()),
                  (std::set<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
      } else {
        EXPECT_EQ(Names(server_.PluginDir()),
                  (std::set<std::string>{"config.json", "config.json.lock"}));
      }
    }
  }
  brimwarden::SaveStepFaultForTests = nullptr;
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  EXPECT_EQ(ReadFile(backup), Section(kGate));
  EXPECT_EQ(Names(server_.PluginDir()),
            (std::set<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
}

// A save killed between setting the backup aside and placing the new one left it aside: the next
// save that fails puts it back, and one that succeeds replaces it.
TEST_F(SaveSafetyTest, BackupLeftAsideByAKilledSaveIsPutBackOrReplaced) {
  const fs::path backup = server_.PluginDir() / "config.json.bak";
  const fs::path aside = server_.PluginDir() / "config.json.bak.old";
  server_.WriteConfig(Section(kGate));
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  WriteFile(aside, "the backup before");
  brimwarden::SaveStepFaultForTests = [](brimwarden::SaveStep step) -> std::optional<std::string> {
    if (step == brimwarden::SaveStep::kPlaceFile) return "injected failure";
    return std::nullopt;
  };
  EXPECT_FALSE(brimwarden::SaveKillZones());
  brimwarden::SaveStepFaultForTests = nullptr;
  EXPECT_EQ(ReadFile(backup), "the backup before");
  EXPECT_EQ(Names(server_.PluginDir()),
            (std::set<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
  fs::rename(backup, aside);
  ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
  EXPECT_EQ(ReadFile(backup), Section(kGate));
  EXPECT_EQ(Names(server_.PluginDir()),
            (std::set<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
}

// ---- Owner, group and permissions ---------------------------------------------------------------

#if !defined(_WIN32)

TEST_F(SaveSafetyTest, RootKeepsOwnerGroupAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand files to other users";
  server_.WriteConfig(Section(kGate));
  ASSERT_EQ(chown(server_.ConfigPath().c_str(), 12345, 23456), 0);
  ASSERT_EQ(chmod(server_.ConfigPath().c_str(), 0640), 0);
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  ASSERT_TRUE(brimwarden::SaveKillZones());
  for (const char* name : {"config.json", "config.json.bak"}) {
    SCOPED_TRACE(name);
    const struct stat saved = StatOf(server_.PluginDir() / name);
    EXPECT_EQ(saved.st_uid, 12345U);
    EXPECT_EQ(saved.st_gid, 23456U);
    EXPECT_EQ(saved.st_mode & 07777, 0640U);
  }
}

// Runs a save in a child process that has dropped root for `uid`, with `groups` as its groups
// (the first one primary). Returns the child's exit code: 0 saved, 1 refused.
int SaveAs(uid_t uid, const std::vector<gid_t>& groups) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(groups.size(), groups.data()) != 0 || setgid(groups[0]) != 0 ||
        setuid(uid) != 0) {
      _exit(3);
    }
    _exit(brimwarden::SaveKillZones() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// Servers of one group share a group-writable file: a server that does not own it cannot give the
// new file its owner, but keeps the group; one outside the group is refused rather than taking the
// group's access away.
TEST_F(SaveSafetyTest, ServerThatIsNotTheOwnerKeepsTheGroupOrRefuses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
  constexpr uid_t kOwner = 4001;
  constexpr uid_t kOtherServer = 4002;
  constexpr gid_t kShared = 4100;
  constexpr gid_t kOwnGroup = 4200;
  fs::permissions(server_.PluginDir(), fs::perms::all);  // writable by the other server's account
  fs::permissions(server_.Path(), fs::perms::all);
  server_.WriteConfig(Section(kGate));
  ASSERT_EQ(chown(server_.ConfigPath().c_str(), kOwner, kShared), 0);
  ASSERT_EQ(chmod(server_.ConfigPath().c_str(), 0664), 0);
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);

  // Outside the group: refused, the file as it was.
  const std::string before = server_.ReadConfig();
  EXPECT_EQ(SaveAs(kOtherServer, {kOwnGroup}), 1);
  EXPECT_EQ(server_.ReadConfig(), before);
  EXPECT_EQ(StatOf(server_.ConfigPath()).st_uid, kOwner);

  // In the group: saved, owned by the saver now, the group and mode kept.
  EXPECT_EQ(SaveAs(kOtherServer, {kOwnGroup, kShared}), 0);
  const struct stat saved = StatOf(server_.ConfigPath());
  EXPECT_EQ(Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"].size(), 2U);
  EXPECT_EQ(saved.st_uid, kOtherServer);
  EXPECT_EQ(saved.st_gid, kShared);
  EXPECT_EQ(saved.st_mode & 07777, 0664U);
}

// Servers under two accounts with a common group share a group-writable folder, each with a umask
// that gives the group nothing: each loads, adds a zone and saves in turn. The lock file the first
// one creates, or one that only the group can read, does not stop the other.
TEST_F(SaveSafetyTest, ServersUnderTwoAccountsOfOneGroupShareTheFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  constexpr uid_t kFirst = 4011;
  constexpr uid_t kSecond = 4012;
  constexpr gid_t kShared = 4110;
  const fs::path lock = server_.PluginDir() / "config.json.lock";
  for (const bool lock_only_readable : {false, true}) {
    SCOPED_TRACE(lock_only_readable ? "a lock file the group can only read" : "no lock file yet");
    brimwarden::ResetProcessObjects();
    fs::remove(lock);
    server_.WriteConfig(Section(kGate));
    ASSERT_EQ(chown(server_.ConfigPath().c_str(), kFirst, kShared), 0);
    ASSERT_EQ(chmod(server_.ConfigPath().c_str(), 0664), 0);
    ASSERT_EQ(chown(server_.PluginDir().c_str(), 0, kShared), 0);
    ASSERT_EQ(chmod(server_.PluginDir().c_str(), 0775), 0);
    if (lock_only_readable) {
      WriteFile(lock, "");
      ASSERT_EQ(chown(lock.c_str(), 0, kShared), 0);
      ASSERT_EQ(chmod(lock.c_str(), 0440), 0);
    }
    std::set<std::string> expected = {"Gate"};
    for (int round = 0; round < 2; ++round) {
      for (const uid_t account : {kFirst, kSecond}) {
        const std::string zone = std::to_string(account) + "-" + std::to_string(round);
        const pid_t child = fork();
        if (child == 0) {
          const gid_t groups[] = {account, kShared};
          umask(077);
          if (setgroups(2, groups) != 0 || setgid(account) != 0 || setuid(account) != 0) _exit(3);
          if (brimwarden::LoadConfig()) _exit(4);
          PluginSettings.KillZones.push_back({zone, {1, 1, 1}, {2, 2, 2}});
          _exit(brimwarden::SaveKillZones() ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << zone << ": " << status;
        expected.insert(zone);
        const Json zones = Json::parse(server_.ReadConfig())["TestServer"]["Kill Zones"];
        std::set<std::string> saved;
        for (const auto& [name, entry] : zones.items()) saved.insert(name);
        EXPECT_EQ(saved, expected) << zone;
        const struct stat after = StatOf(server_.ConfigPath());
        EXPECT_EQ(after.st_gid, kShared) << zone;
        EXPECT_EQ(after.st_mode & 07777, 0664U) << zone;
      }
    }
  }
}

// A folder the server cannot write: no save can take place, and none writes the file in place.
TEST_F(SaveSafetyTest, ReadOnlyFolderFailsEverySaveAndLeavesTheFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kServer = 4003;
  server_.WriteConfig(Section(kGate));
  ASSERT_EQ(chown(server_.ConfigPath().c_str(), kServer, kServer), 0);
  ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
  PluginSettings.KillZones.push_back(kNew);
  ASSERT_EQ(chmod(server_.PluginDir().c_str(), 0555), 0);
  const std::string before = server_.ReadConfig();
  EXPECT_EQ(SaveAs(kServer, {kServer}), 1);  // no lock file yet: it cannot be created
  EXPECT_EQ(Names(server_.PluginDir()), std::set<std::string>{"config.json"});

  // With a lock file that someone made writable, the temporary file cannot be created.
  WriteFile(server_.PluginDir() / "config.json.lock", "");
  ASSERT_EQ(chmod((server_.PluginDir() / "config.json.lock").c_str(), 0666), 0);
  EXPECT_EQ(SaveAs(kServer, {kServer}), 1);
  EXPECT_EQ(server_.ReadConfig(), before);
  EXPECT_EQ(Names(server_.PluginDir()), (std::set<std::string>{"config.json", "config.json.lock"}));
  chmod(server_.PluginDir().c_str(), 0755);
}

#endif

// ---- A server folder outside ASCII --------------------------------------------------------------

// The server's folder reaches the plugin as a narrow string, in UTF-8 or in the system's code page.
TEST_F(SaveSafetyTest, ServerFolderWithNonAsciiLettersLoadsAndSaves) {
  struct Case {
    const char* what;
    std::u8string name;
    unsigned code_page;  // 0: UTF-8 on every system
  };
  std::vector<Case> cases = {{"UTF-8", u8"brimwarden-Zo\u00EB-\u03A9", 0}};
#if defined(_WIN32)
  // "Zoë" in the ANSI code page is no valid UTF-8 (0xEB is a lead byte), so the path is taken in
  // the code page.
  cases.push_back({"ANSI code page", u8"brimwarden-Zo\u00EB", CP_ACP});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = server_.Path() / fs::path(c.name);
    fs::create_directories(folder / "ArkApi" / "Plugins" / "Brimwarden");
    WriteFile(folder / "ArkApi" / "Plugins" / "Brimwarden" / "config.json", Section(kGate));
    std::string narrow;
#if defined(_WIN32)
    const std::wstring wide = folder.wstring();
    const UINT code_page = c.code_page == 0 ? CP_UTF8 : c.code_page;
    BOOL lossy = FALSE;
    const int length =
        WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                            nullptr, code_page == CP_UTF8 ? nullptr : &lossy);
    narrow.resize(static_cast<std::size_t>(length));
    WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                        length, nullptr, code_page == CP_UTF8 ? nullptr : &lossy);
    ASSERT_FALSE(lossy) << "the code page " << GetACP() << " cannot spell the folder";
    if (code_page != CP_UTF8) {
      ASSERT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow.data(),
                                    static_cast<int>(narrow.size()), nullptr, 0),
                0)
          << "the code page spelling is valid UTF-8 too, so the fallback would not run";
    }
#else
    narrow = folder.string();
#endif
    standin::SetServerDir(narrow);
    brimwarden::ResetProcessObjects();
    standin::ClearLogRecords();
    ASSERT_EQ(brimwarden::LoadConfig(), std::nullopt);
    EXPECT_EQ(PluginSettings.KillZones.size(), 1U);
    PluginSettings.KillZones.push_back(kNew);
    ASSERT_TRUE(brimwarden::SaveKillZones()) << ::testing::PrintToString(Errors());
    EXPECT_EQ(Json::parse(ReadFile(folder / "ArkApi" / "Plugins" / "Brimwarden" /
                                   "config.json"))["TestServer"]["Kill Zones"]
                  .size(),
              2U);
  }
  standin::SetServerDir(server_.Path().generic_string());
}

}  // namespace
