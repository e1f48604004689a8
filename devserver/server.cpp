// The dev server's hold on the plugin and the stand-in: loading the library, running ticks and
// RCON requests, and the bookkeeping of what the stand-in reports while they run.
#include "server.h"

#include <utility>

namespace brimwarden::devserver {
namespace {

constexpr float kTickSeconds = 1.0F / static_cast<float>(kTicksPerSecond);
// The first game call of every visit of the sweep asks whether the roster entry is a creature;
// nothing else calls it inside a tick, so its calls there count the entries taken.
constexpr const char* kClassTest = "UObjectBaseUtility.IsA";

}  // namespace

DevServer::DevServer(ServerOptions options, EventSink sink)
    : options_(std::move(options)), sink_(std::move(sink)) {
  std::filesystem::create_directories(options_.dir / "ArkApi" / "Plugins" / "Brimwarden");
  standin::SetServerDir(PathToUtf8(options_.dir));
  standin::SetEventListener([this](const standin::Event& event) { OnEvent(event); });
  standin::SetActorListHook([this](std::vector<AActor*>& actors) { OnActorList(actors); });
}

DevServer::~DevServer() {
  Unload();
  standin::SetActorListHook(nullptr);
  standin::SetEventListener(nullptr);
}

void DevServer::Load() { library_.Open(options_.plugin_path); }

void DevServer::Unload() { library_.Close(); }

void DevServer::OnEvent(const standin::Event& event) {
  if (event.kind == standin::EventKind::kChat) {
    // The zone commands' replies tell which players have a zone in the making.
    if (event.text.rfind("Making zone: ", 0) == 0) pending_zone_players_.insert(event.to);
    if (event.text == "Zone created" || event.text == "Zone creation cancelled") {
      pending_zone_players_.erase(event.to);
    }
  }
  if (event.kind == standin::EventKind::kDestroy) {
    const auto found = alive_index_.find(event.creature);
    if (found != alive_index_.end()) {
      if (teams_.at(event.creature) < kTamedTeam) --wild_alive_;
      // Swap-remove: the last id takes the place of the one that went.
      const std::size_t place = found->second;
      alive_index_.erase(found);
      const std::int64_t last = alive_ids_.back();
      alive_ids_.pop_back();
      if (last != event.creature) {
        alive_ids_[place] = last;
        alive_index_[last] = place;
      }
    }
  }
  if (event.kind == standin::EventKind::kRcon && rcon_capture_ != nullptr) {
    rcon_capture_->push_back(event.text);
    if (quiet_rcon_) return;
  }
  if (sink_) sink_(event);
}

// The plugin asks for the creature list when it builds its roster: at load, and in the tick that
// finds the roster empty, which ends a pass. The list holds every living creature, so the wild ones
// in it are those counted as they came and went, without a look at each of a million entries.
void DevServer::OnActorList(std::vector<AActor*>& /*actors*/) {
  if (in_tick_) {
    ++passes_;
    rebuilt_in_tick_ = true;
  }
  roster_at_build_ = wild_alive_;
  tick_of_build_ = standin::TickCount();
}

void DevServer::Tick(std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i) {
    if (chaos_) RunChaos();
    in_tick_ = true;
    rebuilt_in_tick_ = false;
    const std::int64_t class_tests = standin::GameFunctionCalls(kClassTest);
    const long long start = NowNanoseconds();
    standin::Tick(kTickSeconds);
    const long long elapsed = NowNanoseconds() - start;
    in_tick_ = false;
    visited_ += standin::GameFunctionCalls(kClassTest) - class_tests;
    tick_times_.push_back(elapsed);
    if (rebuilt_in_tick_) rebuild_tick_times_.push_back(elapsed);
    standin::ClearEvents();  // the events went out through the listener already
  }
}

std::vector<std::string> DevServer::Rcon(const std::string& text, std::int32_t request_id,
                                         bool* handled) {
  std::vector<std::string> replies;
  rcon_capture_ = &replies;
  bool taken = false;
  try {
    taken = standin::SendRcon(text, request_id);
  } catch (...) {
    rcon_capture_ = nullptr;
    throw;
  }
  rcon_capture_ = nullptr;
  standin::ClearEvents();
  if (handled != nullptr) *handled = taken;
  return replies;
}

}  // namespace brimwarden::devserver
