// What the file operations of both platforms share: the bounded wait for the lock that several
// server processes take before a save, and the read of a whole file under the size limit.
#include <algorithm>
#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "file_operations.h"

namespace brimwarden::config {
namespace {

// A save waits this long in all for another server's save to finish before it gives up. A save
// holds the lock for milliseconds, and the game thread waits meanwhile: a longer wait would freeze
// the game for every confirm while a hung process held the lock.
constexpr std::chrono::milliseconds kLockTimeout{250};

}  // namespace

std::optional<std::string> WaitForLock(const std::string& lock_path,
                                       const std::function<LockAttempt(std::string&)>& attempt) {
  const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    std::string reason;
    switch (attempt(reason)) {
      case LockAttempt::kTaken:
        return std::nullopt;
      case LockAttempt::kFailed:
        return fmt::format("Failed to lock {}: {}", lock_path, reason);
      case LockAttempt::kHeldByAnother:
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return fmt::format("Failed to lock {}: another process held it for {} ms", lock_path,
                         kLockTimeout.count());
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(10));
  }
}

void ReadOpenFile(std::uint64_t size, const ReadChunk& read, FileText& result) {
  if (size > kMaxConfigBytes) {
    result.status = FileText::Status::kTooLarge;
    return;
  }
  result.text.reserve(static_cast<std::size_t>(size));
  char buffer[65536];
  for (;;) {
    const std::optional<std::size_t> read_bytes = read(buffer, sizeof buffer, result.detail);
    if (!read_bytes) {
      result.status = FileText::Status::kCannotRead;
      return;
    }
    if (*read_bytes == 0) break;
    result.text.append(buffer, *read_bytes);
    if (result.text.size() > kMaxConfigBytes) {  // it grew while being read
      result.text.clear();
      result.status = FileText::Status::kTooLarge;
      return;
    }
  }
  result.status = FileText::Status::kRead;
}

}  // namespace brimwarden::config
