// The ring of the sweep's last destroys, which "BWD.recent" lists. Written on the game thread
// inside the guarded step; a fault there can at worst leave one record half written.
#include "brimwarden/sweep/sweep.h"

namespace brimwarden {
namespace {

// Zone names up to this long are recorded without an allocation from the first destroy on.
constexpr std::size_t kReservedCauseBytes = 64;

}  // namespace

DestroyHistory::DestroyHistory() {
  for (DestroyRecord& record : records_) record.Cause.reserve(kReservedCauseBytes);
}

void DestroyHistory::Record(std::uint64_t pass, const Vector3& position, std::string_view cause) {
  DestroyRecord& record = records_[next_];
  record.Pass = pass;
  record.Position = position;
  // assign() keeps the string's storage when the cause fits in it.
  record.Cause.assign(cause);
  next_ = (next_ + 1) % kSize;
  if (count_ < kSize) ++count_;
}

const DestroyRecord& DestroyHistory::Newest(std::size_t age) const {
  return records_[(next_ + kSize - 1 - age) % kSize];
}

}  // namespace brimwarden
