// The ordered record of what happened in the stand-in, and its listener. Log lines reach it from
// the recording sink, which may run on any thread, so the list carries a lock; the listener is
// called outside it so that it may read the list itself.
#include <mutex>
#include <utility>
#include <vector>

#include "internal.h"

namespace standin {
namespace {

struct EventLog {
  std::mutex mutex;
  std::vector<Event> events;
  std::function<void(const Event&)> listener;
};

EventLog& Log() {
  static auto& log = *new EventLog;  // never destroyed: see internal.h
  return log;
}

}  // namespace

namespace internal {

void RecordEvent(const Event& event) {
  EventLog& log = Log();
  std::function<void(const Event&)> listener;
  {
    const std::lock_guard<std::mutex> lock(log.mutex);
    log.events.push_back(event);
    listener = log.listener;
  }
  if (listener) listener(event);
}

}  // namespace internal

std::vector<Event> Events() {
  EventLog& log = Log();
  const std::lock_guard<std::mutex> lock(log.mutex);
  return log.events;
}

void ClearEvents() {
  EventLog& log = Log();
  const std::lock_guard<std::mutex> lock(log.mutex);
  log.events.clear();
}

void SetEventListener(std::function<void(const Event&)> listener) {
  EventLog& log = Log();
  const std::lock_guard<std::mutex> lock(log.mutex);
  log.listener = std::move(listener);
}

}  // namespace standin
