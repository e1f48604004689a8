// The live prompt. A reader thread collects typed lines (with line editing and history where
// libedit is available); the main thread is the game thread: it runs each line, ticks while `run`
// is on, and answers RCON clients, so the plugin is only ever called from one thread.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app.h"
#include "brimwarden/logging/logging.h"
#include "events.h"
#include "modes.h"

#if defined(BRIMWARDEN_HAVE_LIBEDIT)
#include <editline/readline.h>
#endif

namespace brimwarden::devserver {
namespace {

const char* const kHelp =
    "commands:\n"
    "  terrain flat H | terrain hills SEED     the ground model\n"
    "  creature ID TEAM X Y Z                  one creature\n"
    "  populate COUNT SUNK% TAMED% SEED        many creatures, ids continuing\n"
    "  player NAME [admin]                     a connected player\n"
    "  move NAME X Y Z                         set a player's location\n"
    "  chat NAME TEXT...                       NAME sends a chat message\n"
    "  rcon TEXT...                            an RCON client sends TEXT\n"
    "  tick [N]                                N server ticks (default 1)\n"
    "  destroy ID                              the game destroys a creature\n"
    "  team ID TEAM                            the game changes a creature's team (taming)\n"
    "  chaos RATE SEED [FAULT_RATE]            each tick the game destroys RATE% and spawns anew\n"
    "  unload | load                           unload or load the plugin library\n"
    "  write PATH ... end                      write a file below the server directory\n"
    "  status                                  roster, zones (the plugin's and the file's),\n"
    "                                          pending zones, ticks, creatures\n"
    "  map FILE                                write the map picture (SVG)\n"
    "  run                                     tick at the server's rate until Enter\n"
    "  help | quit\n";

/// Lines typed by the user, handed to the game thread one at a time.
class LineChannel {
 public:
  void Push(std::optional<std::string> line) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(std::move(line));
    }
    changed_.notify_all();
  }
  /// Takes the next line if one comes within `timeout`; an empty optional inside means the input
  /// ended.
  std::optional<std::optional<std::string>> Take(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return !lines_.empty(); })) return std::nullopt;
    auto line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }
  /// The game thread reports that a line is done; `running` when it started `run`.
  void Done(bool running) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      running_ = running;
    }
    changed_.notify_all();
  }
  /// The reader waits for the game thread to finish the line; returns whether `run` started.
  bool WaitDone() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return done_; });
    done_ = false;
    return running_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::optional<std::string>> lines_;
  bool done_ = false;
  bool running_ = false;
};

std::optional<std::string> ReadLine(const char* prompt) {
#if defined(BRIMWARDEN_HAVE_LIBEDIT)
  char* raw = readline(prompt);
  if (raw == nullptr) return std::nullopt;
  std::string line(raw);
  std::free(raw);
  if (!line.empty()) add_history(line.c_str());
  return line;
#else
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
#endif
}

void ReaderLoop(LineChannel& channel, const ScriptParser& parser) {
  for (;;) {
    std::optional<std::string> line = ReadLine(parser.InBlock() ? "... " : "devserver> ");
    const bool ended = !line.has_value();
    channel.Push(std::move(line));
    if (ended) return;
    if (channel.WaitDone()) {
      // `run` is on: any line (Enter) stops it.
      std::string ignored;
      const bool more = static_cast<bool>(std::getline(std::cin, ignored));
      channel.Push(std::string("\x01stop"));
      channel.WaitDone();
      if (!more) {
        channel.Push(std::nullopt);
        return;
      }
    }
  }
}

}  // namespace

int RunPrompt(const AppOptions& options) {
  const std::filesystem::path dir =
      options.dir.empty() ? FreshTempDir() : PathFromUtf8(options.dir);
  EventOutput output = options.events.empty()
                           ? EventOutput(stdout, EventOutput::Format::kText, false)
                           : EventOutput::OpenJson(options.events);
  DevServer server(MakeServerOptions(options, dir), [&](const standin::Event& event) {
    output.Write(event);
    output.Flush();
  });
  std::unique_ptr<RconEndpoint> endpoint = OpenRcon(options, server);
  std::printf("server directory: %s\n", PathToUtf8(dir).c_str());
  server.Load();
  std::printf("plugin loaded; type help for the commands\n");
  std::fflush(stdout);

  ScriptParser parser(/*prompt=*/true);
  LineChannel channel;
  std::thread reader(ReaderLoop, std::ref(channel), std::cref(parser));
  bool running = false;
  bool quit = false;
  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::microseconds(1'000'000 / kTicksPerSecond);
  auto next_tick = Clock::now() + period;
  while (!quit) {
    if (StopRequested()) break;
    if (endpoint) endpoint->Poll(running ? 1 : 5);
    const auto timeout =
        endpoint || running ? std::chrono::milliseconds(0) : std::chrono::milliseconds(50);
    if (auto taken = channel.Take(timeout)) {
      if (!taken->has_value()) break;  // end of input
      const std::string& line = **taken;
      if (line == "\x01stop") {
        running = false;
        std::printf("stopped at tick %lld\n", static_cast<long long>(standin::TickCount()));
        channel.Done(false);
        continue;
      }
      bool started_run = false;
      try {
        if (std::optional<Command> command = parser.Feed(line)) {
          switch (command->kind) {
            case CommandKind::kHelp:
              std::fputs(kHelp, stdout);
              break;
            case CommandKind::kStatus:
              for (const std::string& status : server.Status()) std::printf("%s\n", status.c_str());
              break;
            case CommandKind::kMap:
              server.WriteMap(PathFromUtf8(command->name));
              std::printf("map written to %s\n", EscapedName(command->name).c_str());
              break;
            case CommandKind::kRun:
              running = started_run = true;
              next_tick = Clock::now();
              std::printf("running at %d ticks a second; press Enter to stop\n", kTicksPerSecond);
              break;
            case CommandKind::kQuit:
              quit = true;
              break;
            default:
              server.Execute(*command);
          }
        }
      } catch (const std::exception& error) {
        std::printf("error: %s\n", EscapedName(error.what()).c_str());
      }
      std::fflush(stdout);
      if (!quit) channel.Done(started_run);
    }
    if (running && Clock::now() >= next_tick) {
      server.Tick(1);
      next_tick += period;
      if (Clock::now() > next_tick + 10 * period) next_tick = Clock::now() + period;
    }
  }
  server.Unload();
  output.WriteJson(server.Summary());
  output.Flush();
  if (!options.map.empty()) server.WriteMap(PathFromUtf8(options.map));
  // The reader may be blocked reading the terminal: it ends with the process.
  reader.detach();
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace brimwarden::devserver
