// Command-line options and the stop flag shared by the dev server's modes.
#include <atomic>
#include <stdexcept>

#include "app.h"
#include "platform.h"

namespace brimwarden::devserver {
namespace {
std::atomic<bool> g_stop{false};
}  // namespace

bool StopRequested() { return g_stop.load(); }
void RequestStop() { g_stop.store(true); }

std::string Usage() {
  return "usage: brimwarden-devserver -serverkey=KEY [options]\n"
         "  (no mode)               run the built-in scenario in a fresh temporary directory\n"
         "  --script FILE           run the commands of FILE\n"
         "  --interactive           read commands at a prompt\n"
         "  --dir DIR               server directory (created if missing)\n"
         "  --events FILE           write events as JSON Lines to FILE (- for standard output)\n"
         "  --map FILE              write the map picture (SVG) to FILE at the end\n"
         "  --plugin FILE           the plugin library (default: beside this program)\n"
         "  --rcon-port N           listen for RCON clients on 127.0.0.1:N\n"
         "  --rcon-password PW      the RCON password (not empty)\n"
         "  --version               print the version and stop\n"
         "Other arguments that start with a single '-' are ignored, as a server ignores what it\n"
         "does not know; -serverkey= reaches the plugin through the command line.\n";
}

AppOptions ParseArguments(const std::vector<std::string>& arguments) {
  AppOptions options;
  bool has_password = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (IsServerKeyArgument(argument)) {
      if (!options.has_server_key) options.server_key = argument.substr(11);
      options.has_server_key = true;
      continue;
    }
    if (argument.rfind("--", 0) != 0) {
      if (!argument.empty() && argument[0] == '-') continue;  // a server option of someone else's
      throw std::invalid_argument("unexpected argument \"" + argument + "\"");
    }
    std::string name = argument;
    std::string value;
    bool has_value = false;
    if (const auto equals = argument.find('='); equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      has_value = true;
    }
    const auto take_value = [&]() -> std::string {
      if (has_value) return value;
      if (i + 1 >= arguments.size()) throw std::invalid_argument(name + " needs a value");
      return arguments[++i];
    };
    if (name == "--dir") {
      options.dir = take_value();
    } else if (name == "--script") {
      options.script = take_value();
    } else if (name == "--events") {
      options.events = take_value();
    } else if (name == "--map") {
      options.map = take_value();
    } else if (name == "--plugin") {
      options.plugin = take_value();
    } else if (name == "--interactive" && !has_value) {
      options.interactive = true;
    } else if (name == "--rcon-port") {
      const std::string text = take_value();
      std::size_t used = 0;
      int port = 0;
      try {
        port = std::stoi(text, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != text.size() || port <= 0 || port > 65535) {
        throw std::invalid_argument("--rcon-port needs a port from 1 to 65535");
      }
      options.rcon_port = port;
    } else if (name == "--rcon-password") {
      options.rcon_password = take_value();
      has_password = true;
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  // An empty password would let anyone on the machine in; servers refuse to open RCON without one.
  if (has_password && options.rcon_password.empty()) {
    throw std::invalid_argument("--rcon-password must not be empty");
  }
  if (options.rcon_port != 0 && !has_password) {
    throw std::invalid_argument("--rcon-port needs --rcon-password");
  }
  if (options.interactive && !options.script.empty()) {
    throw std::invalid_argument("--script and --interactive exclude each other");
  }
  return options;
}

}  // namespace brimwarden::devserver
