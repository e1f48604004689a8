// The framework's shared log sinks: a file sink writing DIR/ArkApi/Logs/server.log under the
// server directory, and a recording sink that keeps every line for tests (level, logger name,
// message, the formatted line) and counts flushes, as spdlog's test sink does.
//
// A logger hands each sink a formatter made by the logger's own library. When that library is a
// plugin that has since been unloaded, the formatter's code is gone; the sinks check that the code
// is still mapped before each use and fall back to a formatter of their own otherwise (the old one
// is abandoned, not destroyed, since its destructor is gone too).
//
// Sinks may be called from any thread: each carries its own lock.
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/sink.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "internal.h"

namespace standin {
namespace {

// Tells whether the code behind a polymorphic object (its vtable) is still mapped.
bool CodeIsLoaded(const void* object) {
  const void* vtable = *static_cast<const void* const*>(object);
#if defined(_WIN32)
  HMODULE module = nullptr;
  return GetModuleHandleExW(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             static_cast<LPCWSTR>(vtable), &module) != 0;
#else
  Dl_info info{};
  return dladdr(vtable, &info) != 0;
#endif
}

/// A sink that formats each line under its lock and hands it to Write.
class FormattingSink : public spdlog::sinks::sink {
 public:
  void log(const spdlog::details::log_msg& message) final {
    std::unique_lock<std::mutex> lock(mutex_);
    spdlog::memory_buf_t buffer;
    Formatter().format(message, buffer);
    std::string line(buffer.data(), buffer.size());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Write(message, line, lock);
  }

  void flush() final {
    const std::lock_guard<std::mutex> lock(mutex_);
    Flush();
  }

  void set_pattern(const std::string& pattern) final {
    set_formatter(std::make_unique<spdlog::pattern_formatter>(pattern));
  }

  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) final {
    const std::lock_guard<std::mutex> lock(mutex_);
    Abandon();
    formatter_ = std::move(formatter);
  }

 protected:
  /// Writes one formatted line (without its newline); may release the lock before returning.
  virtual void Write(const spdlog::details::log_msg& message, const std::string& line,
                     std::unique_lock<std::mutex>& lock) = 0;
  virtual void Flush() = 0;

 private:
  spdlog::formatter& Formatter() {
    if (formatter_ != nullptr && !CodeIsLoaded(formatter_.get())) Abandon();
    if (formatter_ == nullptr) formatter_ = std::make_unique<spdlog::pattern_formatter>();
    return *formatter_;
  }

  void Abandon() {
    if (formatter_ != nullptr && !CodeIsLoaded(formatter_.get())) {
      (void)formatter_.release();  // its library is gone, and its destructor with it
    }
    formatter_.reset();
  }

  std::mutex mutex_;
  std::unique_ptr<spdlog::formatter> formatter_;
};

/// Appends each line to DIR/ArkApi/Logs/server.log. The file is opened for each line and closed
/// again, so that the server directory can be removed (on Windows too) while the sink exists.
class ServerLogSink final : public FormattingSink {
 public:
  void Redirect(const std::string& dir) {
    const std::lock_guard<std::mutex> lock(path_mutex_);
    path_.clear();
    if (dir.empty()) return;  // found again from the current directory at the next line
    path_ = std::filesystem::path(dir) / "ArkApi" / "Logs" / "server.log";
    std::error_code ignored;
    std::filesystem::create_directories(path_.parent_path(), ignored);
    std::ofstream touch(path_, std::ios::binary | std::ios::app);
  }

 protected:
  void Write(const spdlog::details::log_msg&, const std::string& line,
             std::unique_lock<std::mutex>&) override {
    if (!IsSetUp()) return;  // nothing is written into a directory that is not ours
    const std::lock_guard<std::mutex> lock(path_mutex_);
    if (path_.empty()) {
      path_ =
          std::filesystem::path(ArkApi::Tools::GetCurrentDir()) / "ArkApi" / "Logs" / "server.log";
    }
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    if (!out) {
      std::error_code ignored;
      std::filesystem::create_directories(path_.parent_path(), ignored);
      out.open(path_, std::ios::binary | std::ios::app);
    }
    out << line << '\n';
  }

  void Flush() override {}  // every line is on disk once Write returns

 private:
  std::mutex path_mutex_;
  std::filesystem::path path_;
};

/// Keeps every line for the tests and reports it as a kLog event.
class RecordingSink final : public FormattingSink {
 public:
  std::vector<LogRecord> Records() {
    const std::lock_guard<std::mutex> lock(records_mutex_);
    return records_;
  }
  void Clear() {
    const std::lock_guard<std::mutex> lock(records_mutex_);
    records_.clear();
  }
  int Flushes() {
    const std::lock_guard<std::mutex> lock(records_mutex_);
    return flushes_;
  }

 protected:
  void Write(const spdlog::details::log_msg& message, const std::string& line,
             std::unique_lock<std::mutex>& lock) override {
    LogRecord record{message.level,
                     std::string(message.logger_name.data(), message.logger_name.size()),
                     std::string(message.payload.data(), message.payload.size()), line};
    Event event{};
    event.kind = EventKind::kLog;
    const spdlog::string_view_t level = spdlog::level::to_string_view(message.level);
    event.level.assign(level.data(), level.size());
    event.text = record.text;
    {
      const std::lock_guard<std::mutex> records_lock(records_mutex_);
      records_.push_back(std::move(record));
    }
    lock.unlock();  // the event listener may log or read the records itself
    internal::RecordEvent(event);
  }

  void Flush() override {
    const std::lock_guard<std::mutex> lock(records_mutex_);
    ++flushes_;
  }

 private:
  std::mutex records_mutex_;
  std::vector<LogRecord> records_;
  int flushes_ = 0;
};

struct Sinks {
  std::shared_ptr<ServerLogSink> file = std::make_shared<ServerLogSink>();
  std::shared_ptr<RecordingSink> recording = std::make_shared<RecordingSink>();
  std::vector<spdlog::sink_ptr> list{file, recording};
};

Sinks& TheSinks() {
  static auto& sinks = *new Sinks;  // never destroyed: see internal.h
  return sinks;
}

}  // namespace

namespace internal {

void RedirectLogFile(const std::string& dir) { TheSinks().file->Redirect(dir); }

}  // namespace internal

std::vector<LogRecord> LogRecords() { return TheSinks().recording->Records(); }
void ClearLogRecords() { TheSinks().recording->Clear(); }
int FlushCount() { return TheSinks().recording->Flushes(); }

}  // namespace standin

std::vector<spdlog::sink_ptr>& GetLogSinks() { return standin::TheSinks().list; }
