// The framework's exports: the command interface (chat, console and RCON commands, tick
// callbacks), the utility interface, the server directory, and the dispatch that the host drives
// (ticks, chat messages, RCON requests).
//
// The framework keeps its own copies of every name and callable: the plugin passes them by
// reference and destroys them right after the call. Callbacks run one at a time on the calling
// thread; an exception that leaves a callback propagates to whoever drove the dispatch.
#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "internal.h"

namespace standin {
namespace {

using internal::Utf16ToUtf8;

template <typename Callback>
struct Registration {
  std::u16string name;
  std::string utf8_name;
  Callback callback;
  bool removed = false;  // set when removed while a dispatch holds it
};

template <typename Callback>
using RegistrationList = std::vector<std::shared_ptr<Registration<Callback>>>;

char16_t FoldCase(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

/// The first word of a message or command: the characters before the first space or tab.
std::u16string_view FirstWord(std::u16string_view text) {
  std::size_t end = 0;
  while (end < text.size() && !IsSpace(text[end])) ++end;
  return text.substr(0, end);
}

/// A received RCON request as the game lays it out: size, request id, type, then the body.
struct RconPacketLayout {
  std::int32_t length;
  std::int32_t id;
  std::int32_t type;
  internal::GameStringLayout body;
};

class Commands final : public ArkApi::ICommands {
 public:
  void RegisterChatCommand(const FString& name,
                           const ArkApi::ChatCommandCallback& callback) override {
    Add(chat_, "chat", name, callback);
  }
  void RegisterConsoleCommand(const FString& name, const std::function<void()>& callback) override {
    Add(console_, "console", name, callback);
  }
  void RegisterRconCommand(const FString& name,
                           const ArkApi::RconCommandCallback& callback) override {
    Add(rcon_, "rcon", name, callback);
  }
  void RegisterTickCallback(const FString& id, const ArkApi::TickCallback& callback) override {
    Add(tick_, "tick", id, callback);
  }
  bool RemoveChatCommand(const FString& name) override { return Remove(chat_, "chat", name); }
  bool RemoveConsoleCommand(const FString& name) override {
    return Remove(console_, "console", name);
  }
  bool RemoveRconCommand(const FString& name) override { return Remove(rcon_, "rcon", name); }
  bool RemoveTickCallback(const FString& id) override { return Remove(tick_, "tick", id); }

  RegistrationList<ArkApi::ChatCommandCallback> chat_;
  RegistrationList<std::function<void()>> console_;
  RegistrationList<ArkApi::RconCommandCallback> rcon_;
  RegistrationList<ArkApi::TickCallback> tick_;

 private:
  static void Record(EventKind kind, const char* registration, const std::string& name) {
    Event event{};
    event.kind = kind;
    event.registration = registration;
    event.name = name;
    internal::RecordEvent(event);
  }

  // A name registered again replaces the earlier callable and keeps its place.
  template <typename Callback>
  static void Add(RegistrationList<Callback>& list, const char* registration, const FString& name,
                  const Callback& callback) {
    const std::u16string_view view = name.View();
    std::string utf8 = Utf16ToUtf8(view);
    Record(EventKind::kRegister, registration, utf8);
    for (auto& entry : list) {
      if (entry->name == view) {
        auto replaced = std::make_shared<Registration<Callback>>(*entry);
        replaced->callback = callback;
        entry->removed = true;
        entry = std::move(replaced);
        return;
      }
    }
    list.push_back(std::make_shared<Registration<Callback>>(
        Registration<Callback>{std::u16string(view), std::move(utf8), callback}));
  }

  template <typename Callback>
  static bool Remove(RegistrationList<Callback>& list, const char* registration,
                     const FString& name) {
    const std::u16string_view view = name.View();
    Record(EventKind::kRemove, registration, Utf16ToUtf8(view));
    for (auto it = list.begin(); it != list.end(); ++it) {
      if ((*it)->name == view) {
        (*it)->removed = true;
        list.erase(it);
        return true;
      }
    }
    return false;
  }
};

class ApiUtils final : public ArkApi::IApiUtils {
 public:
  UWorld* CurrentWorld() const override { return internal::CurrentWorld(); }
};

struct Framework {
  Commands commands;
  ApiUtils utils;
  std::string server_dir;   // empty: the process's current directory
  int rcon_connection = 0;  // the address is what identifies the connection
};

Framework& TheFramework() {
  static auto& framework = *new Framework;  // never destroyed: see internal.h
  return framework;
}

// Constant-initialized, so it reads false from the moment the library is mapped.
std::atomic<bool> set_up{false};

}  // namespace

void SetUp() { set_up.store(true, std::memory_order_relaxed); }
bool IsSetUp() { return set_up.load(std::memory_order_relaxed); }

namespace internal {
void RequireSetUp() {
  if (!IsSetUp()) throw std::logic_error(kNotSetUpMessage);
}
}  // namespace internal

// An empty dir goes back to the default: the process's current directory.
void SetServerDir(const std::string& dir) {
  std::string trimmed = dir;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\'))
    trimmed.pop_back();
  TheFramework().server_dir = trimmed;
  internal::RedirectLogFile(trimmed);
}

std::string ServerDir() { return ArkApi::Tools::GetCurrentDir(); }

void Tick(float delta_seconds) {
  ++internal::TickCounter();
  // A snapshot, so that a callback may register or remove callbacks; a removed one is not called.
  const auto callbacks = TheFramework().commands.tick_;
  for (const auto& entry : callbacks) {
    if (entry->removed) continue;
    const ArkApi::TickCallback callback = entry->callback;
    callback(delta_seconds);
  }
  internal::ReclaimDueActors();
}

std::int64_t TickCount() { return internal::TickCounter(); }

bool SendChat(AShooterPlayerController* player, const std::u16string& message,
              EChatSendMode::Type mode) {
  const std::u16string_view word = FirstWord(message);
  if (word.empty()) return false;
  for (const auto& entry : TheFramework().commands.chat_) {
    if (!EqualIgnoringCase(entry->name, word)) continue;
    const ArkApi::ChatCommandCallback callback = entry->callback;  // the entry may be removed
    internal::GameString text(message);
    callback(player, text.AsFString(), mode);
    return true;
  }
  return false;
}

bool SendRcon(const std::string& command, std::int32_t request_id) {
  const std::u16string wide = internal::Utf8ToUtf16(command);
  const std::u16string_view word = FirstWord(wide);
  if (word.empty()) return false;
  Framework& framework = TheFramework();
  for (const auto& entry : framework.commands.rcon_) {
    if (entry->name != word) continue;
    const ArkApi::RconCommandCallback callback = entry->callback;
    internal::GameString body(wide);
    // Type 2 is an exec command; the size counts the bytes after the size field.
    RconPacketLayout packet{static_cast<std::int32_t>(command.size() + 10), request_id, 2,
                            body.Layout()};
    callback(reinterpret_cast<RCONClientConnection*>(&framework.rcon_connection),
             reinterpret_cast<RCONPacket*>(&packet), internal::CurrentWorld());
    return true;
  }
  return false;
}

std::vector<std::string> RegisteredNames(const std::string& kind) {
  std::vector<std::string> names;
  const Commands& commands = TheFramework().commands;
  const auto collect = [&names](const auto& list) {
    for (const auto& entry : list) names.push_back(entry->utf8_name);
  };
  if (kind == "chat") collect(commands.chat_);
  if (kind == "console") collect(commands.console_);
  if (kind == "rcon") collect(commands.rcon_);
  if (kind == "tick") collect(commands.tick_);
  return names;
}

}  // namespace standin

namespace ArkApi {

ICommands& GetCommands() {
  standin::internal::RequireSetUp();
  return standin::TheFramework().commands;
}
IApiUtils& GetApiUtils() {
  standin::internal::RequireSetUp();
  return standin::TheFramework().utils;
}

std::string Tools::GetCurrentDir() {
  standin::internal::RequireSetUp();
  const std::string& dir = standin::TheFramework().server_dir;
  if (!dir.empty()) return dir;
  std::error_code error;
  const std::filesystem::path current = std::filesystem::current_path(error);
  return error ? std::string(".") : current.string();
}

}  // namespace ArkApi
