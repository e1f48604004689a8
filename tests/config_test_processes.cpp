// The configuration across processes: the key taken from a real command line, saves from two
// server processes into one file, and a saving process killed at random moments.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
extern char** environ;
#endif

namespace {

using brimwarden::test::ServerDir;
using Json = nlohmann::json;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

#if defined(_WIN32)

std::wstring Widen(const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::wstring ChildPath() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(std::wstring(self, length)).parent_path() / L"config_child.exe";
}

// Starts the helper with `tail` appended to its command line exactly as written (quotes and all),
// so the child's own split of the command line is what is being tested.
int RunChildWithCommandLine(const std::string& tail) {
  std::wstring command_line = L"\"" + ChildPath() + L"\" " + Widen(tail);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

#else

const std::string kChildPath = std::string(BRIMWARDEN_BIN_DIR) + "/config_child";

pid_t SpawnChild(const std::vector<std::string>& arguments, int* stdout_fd = nullptr) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kChildPath.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipe_fds[2] = {-1, -1};
  if (stdout_fd != nullptr) {
    EXPECT_EQ(pipe(pipe_fds), 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  }
  pid_t pid = -1;
  const int error = posix_spawn(&pid, kChildPath.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(error, 0) << kChildPath;
  if (stdout_fd != nullptr) {
    close(pipe_fds[1]);
    *stdout_fd = pipe_fds[0];
  }
  return pid;
}

// The child's exit code, or 128 + the signal that ended it.
int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunChild(const std::vector<std::string>& arguments) { return WaitChild(SpawnChild(arguments)); }

#endif

// ---- The key from a real command line
// ------------------------------------------------------------

TEST(ConfigProcessTest, KeyComesFromTheRealCommandLine) {
  ServerDir server;
  const std::string kZoe = "Zo\xC3\xAB \xCE\xA9 x";  // "Zoë Ω x": a space and non-ASCII letters
  server.WriteConfig(R"({"Alpha": {"TopRayDistance": 1, "BottomRayDistance": 1, "DinosPerTick": 1},
      "alpha": {"TopRayDistance": 1, "BottomRayDistance": 1, "DinosPerTick": 2},
      "Beta": {"TopRayDistance": 1, "BottomRayDistance": 1, "DinosPerTick": 3},
      ")" + kZoe + R"(": {"TopRayDistance": 1, "BottomRayDistance": 1, "DinosPerTick": 4}})");
  const std::string kNoKey = "error\tFailed to get server key";
  const std::string kNothing = "settings\t0\t0\t0\t0";
  struct Case {
    std::vector<std::string> arguments;  // each one argument of the child
    std::string windows_tail;            // the same as Windows command-line text
    std::vector<std::string> lines;
  };
  const Case cases[] = {
    {{"-ServerKey=Alpha"},
     "-ServerKey=Alpha",
     {"info\tServer Key: Alpha", "settings\t1\t-1\t1\t0"}},
    {{"-SERVERKEY=alpha"},
     "-SERVERKEY=alpha",
     {"info\tServer Key: alpha", "settings\t1\t-1\t2\t0"}},
    {{"-serverkey=Beta", "-serverkey=Alpha"},
     "-serverkey=Beta -serverkey=Alpha",
     {"info\tServer Key: Beta", "settings\t1\t-1\t3\t0"}},
    {{"-serverkey=" + kZoe},
     "\"-serverkey=" + kZoe + "\"",
     {"info\tServer Key: " + kZoe, "settings\t1\t-1\t4\t0"}},
    {{"-serverkey=", "-serverkey=Beta"},
     "-serverkey= -serverkey=Beta",
     {"info\tServer Key: ", kNoKey, kNothing}},
    {{"-map-serverkey=Beta"}, "-map-serverkey=Beta", {"info\tServer Key: ", kNoKey, kNothing}},
    {{}, "", {"info\tServer Key: ", kNoKey, kNothing}},
    {{"-serverkey=Gamma"},
     "-serverkey=Gamma",
     {"info\tServer Key: Gamma", "error\tServer key not found in config", kNothing}},
#if defined(_WIN32)
    // Quotes in the middle of an argument are taken out by the split as well.
    {{}, "-serverkey=\"" + kZoe + "\"", {"info\tServer Key: " + kZoe, "settings\t1\t-1\t4\t0"}},
    {{},
     "\"-serverkey=Beta\" -serverkey=Alpha",
     {"info\tServer Key: Beta", "settings\t1\t-1\t3\t0"}},
#endif
  };
  const std::filesystem::path out = server.Path() / "load-result.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windows_tail);
    std::filesystem::remove(out);
#if defined(_WIN32)
    const int code = RunChildWithCommandLine("\"" + server.Path().string() + "\" load \"" +
                                             out.string() + "\" " + c.windows_tail);
#else
    std::vector<std::string> arguments = {server.Path().string(), "load", out.string()};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const int code = RunChild(arguments);
#endif
    EXPECT_EQ(code, c.lines.size() == 2 ? 0 : 1);
    EXPECT_EQ(Lines(ReadFile(out)), c.lines);
  }
}

#if !defined(_WIN32)

// ---- Saves from several processes
// ------------------------------------------------------------------

std::set<std::string> PluginDirNames(const ServerDir& server) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(server.PluginDir())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(ConfigProcessTest, TwoServersSavingIntoOneFileLoseNothing) {
  ServerDir server;
  const Json alpha =
      Json::parse(R"({"DinosPerTick": 3, "Kill Zones": {"keep": {"Corner1": [1, 2, 3],
      "Corner2": [4, 5, 6]}}})");
  server.WriteConfig(Json({{"Alpha", alpha}}).dump());
  const std::string dir = server.Path().string();
  const pid_t first = SpawnChild({dir, "save-grow", "100", "-serverkey=KeyA"});
  const pid_t second = SpawnChild({dir, "save-grow", "100", "-serverkey=KeyB"});
  EXPECT_EQ(WaitChild(first), 0);
  EXPECT_EQ(WaitChild(second), 0);

  const Json saved = Json::parse(server.ReadConfig());
  EXPECT_EQ(saved["Alpha"], alpha);
  for (const char* key : {"KeyA", "KeyB"}) {
    SCOPED_TRACE(key);
    const Json& zones = saved[key]["Kill Zones"];
    ASSERT_EQ(zones.size(), 100U);
    for (int i = 0; i < 100; ++i) {
      const std::string name = "zone-" + std::to_string(i);
      ASSERT_TRUE(zones.contains(name)) << name;
      EXPECT_EQ(zones[name]["Corner1"][0], static_cast<double>(i));
    }
  }
  EXPECT_EQ(PluginDirNames(server),
            (std::set<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
}

// Two servers reach one shared file through symbolic links of their own (one of them a chain of
// two links): both lock, write and rename beside the shared file, so nothing is lost and every
// link is still a link afterwards.
TEST(ConfigProcessTest, TwoServersSavingThroughDifferentLinksLoseNothing) {
  ServerDir first_server;
  ServerDir second_server;
  ServerDir shared;
  const std::filesystem::path target = shared.Path() / "shared.json";
  {
    std::ofstream out(target, std::ios::binary);
    out << R"({"Alpha": {"DinosPerTick": 3}})";
  }
  std::filesystem::create_symlink(target, first_server.ConfigPath());
  std::filesystem::create_symlink(target, shared.Path() / "hop.json");
  std::filesystem::create_symlink("../../../../" + shared.Path().filename().string() + "/hop.json",
                                  second_server.ConfigPath());
  const pid_t first =
      SpawnChild({first_server.Path().string(), "save-grow", "100", "-serverkey=KeyA"});
  const pid_t second =
      SpawnChild({second_server.Path().string(), "save-grow", "100", "-serverkey=KeyB"});
  EXPECT_EQ(WaitChild(first), 0);
  EXPECT_EQ(WaitChild(second), 0);

  EXPECT_TRUE(std::filesystem::is_symlink(first_server.ConfigPath()));
  EXPECT_TRUE(std::filesystem::is_symlink(second_server.ConfigPath()));
  EXPECT_TRUE(std::filesystem::is_symlink(shared.Path() / "hop.json"));
  Json saved = Json::parse(ReadFile(target));
  EXPECT_EQ(saved["Alpha"], Json::parse(R"({"DinosPerTick": 3})"));
  EXPECT_EQ(saved["KeyA"]["Kill Zones"].size(), 100U);
  EXPECT_EQ(saved["KeyB"]["Kill Zones"].size(), 100U);
  // The lock, the backup and nothing else beside the shared file; nothing beside the links.
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(shared.Path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"ArkApi", "hop.json", "shared.json", "shared.json.bak",
                                          "shared.json.lock"}));
  EXPECT_EQ(PluginDirNames(first_server), std::set<std::string>{"config.json"});
  EXPECT_EQ(PluginDirNames(second_server), std::set<std::string>{"config.json"});
}

// Two instances started with the same key save into one section: a save that would undo the
// other's zones is refused, and after a reload it goes through, so every zone ends in the file.
TEST(ConfigProcessTest, TwoServersWithTheSameKeyLoseNoConfirmedZone) {
  ServerDir server;
  server.WriteConfig(R"({"Shared": {"DinosPerTick": 3, "Kill Zones": {}}})");
  const std::string dir = server.Path().string();
  const pid_t first = SpawnChild({dir, "save-shared", "50", "first", "-serverkey=Shared"});
  const pid_t second = SpawnChild({dir, "save-shared", "50", "second", "-serverkey=Shared"});
  EXPECT_EQ(WaitChild(first), 0);
  EXPECT_EQ(WaitChild(second), 0);
  const Json zones = Json::parse(server.ReadConfig())["Shared"]["Kill Zones"];
  EXPECT_EQ(zones.size(), 100U);
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(zones.contains("first-" + std::to_string(i))) << i;
    EXPECT_TRUE(zones.contains("second-" + std::to_string(i))) << i;
  }
}

// A Linux command line may hold any bytes; the library cannot print such a name, so the save is
// refused rather than writing a file that no longer parses.
TEST(ConfigProcessTest, SaveUnderAKeyThatIsNotUtf8LeavesTheFile) {
  ServerDir server;
  const std::string original = R"({"Alpha": {"DinosPerTick": 3}})";
  server.WriteConfig(original);
  EXPECT_EQ(RunChild({server.Path().string(), "save", "a", "-serverkey=bad\xFFkey"}), 1);
  EXPECT_EQ(server.ReadConfig(), original);
  EXPECT_EQ(PluginDirNames(server), (std::set<std::string>{"config.json", "config.json.lock"}));
}

TEST(ConfigProcessTest, SaverKilledAtRandomMomentsLeavesTheOldOrTheNewFile) {
  ServerDir server;
  server.WriteConfig(
      R"({"Alpha": {"DinosPerTick": 3}, "TestServer": {"DinosPerTick": 5, "Kill Zones": {}}})");
  const std::string dir = server.Path().string();
  // The exact bytes of the two files the saver alternates between.
  ASSERT_EQ(RunChild({dir, "save", "b", "-serverkey=TestServer"}), 0);
  const std::string file_b = server.ReadConfig();
  ASSERT_EQ(RunChild({dir, "save", "a", "-serverkey=TestServer"}), 0);
  const std::string file_a = server.ReadConfig();
  ASSERT_NE(file_a, file_b);

  const auto seed =
      static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_us(0, 20000);
  const std::set<std::string> allowed = {"config.json",         "config.json.lock",
                                         "config.json.tmp",     "config.json.bak",
                                         "config.json.bak.tmp", "config.json.bak.old"};
  int seen_a = 0;
  int seen_b = 0;
  int temporary_left = 0;
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    int ready_fd = -1;
    const pid_t child = SpawnChild({dir, "save-loop", "-serverkey=TestServer"}, &ready_fd);
    char ready = 0;
    // The child says when its first save is done, so every kill lands among saves.
    ASSERT_EQ(read(ready_fd, &ready, 1), 1);
    close(ready_fd);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    kill(child, SIGKILL);
    ASSERT_EQ(WaitChild(child), 128 + SIGKILL);

    const std::string now = server.ReadConfig();
    ASSERT_TRUE(now == file_a || now == file_b) << "config.json is neither save:\n" << now;
    (now == file_a ? seen_a : seen_b) += 1;
    const std::set<std::string> names = PluginDirNames(server);
    ASSERT_TRUE(std::includes(allowed.begin(), allowed.end(), names.begin(), names.end()));
    temporary_left += names.count("config.json.tmp") + names.count("config.json.bak.tmp") > 0;
    // The backup is absent or a whole earlier version, never a torn one; so is the one a kill
    // between two renames left aside.
    for (const char* name : {"config.json.bak", "config.json.bak.old"}) {
      if (names.count(name) == 0) continue;
      const std::string backup = ReadFile(server.PluginDir() / name);
      ASSERT_TRUE(backup == file_a || backup == file_b) << name << " is no earlier version:\n"
                                                        << backup;
    }
  }
  RecordProperty("old", seen_a);
  RecordProperty("new", seen_b);
  RecordProperty("killed_with_temporary_file", temporary_left);
  // A later save goes through and clears the leftover temporary files.
  const std::string before_last = server.ReadConfig();
  ASSERT_EQ(RunChild({dir, "save", "b", "-serverkey=TestServer"}), 0);
  EXPECT_EQ(server.ReadConfig(), file_b);
  EXPECT_EQ(ReadFile(server.PluginDir() / "config.json.bak"), before_last);
  EXPECT_EQ(PluginDirNames(server),
            (std::set<std::string>{"config.json", "config.json.bak", "config.json.lock"}));
}

#endif

}  // namespace
