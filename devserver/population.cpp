// Creatures put into the world: populate's random placement, and the game's own churn under chaos.
#include <cmath>

#include "server.h"

namespace brimwarden::devserver {
namespace {

// A creature standing on the ground holds its position this far above the surface; a sunk one
// lies between kSunkDepthMin and kSunkDepthMin + kSunkDepthRange below it.
constexpr float kStandingHeight = 60.0F;
constexpr double kSunkDepthMin = 200.0;
constexpr double kSunkDepthRange = 3000.0;
constexpr int kPlacementAttempts = 32;
// What chaos spawns in place of the creatures it destroys.
constexpr double kChaosSunkPercent = 1.0;
constexpr double kChaosTamedPercent = 30.0;
constexpr const char* kGroundQuery = "APrimalCharacter.GetGroundLocation";
// Under chaos the game reuses a freed creature's memory soon, as a real allocator does: a roster
// entry left behind then reaches a new creature, tamed or not, more often than a fault.
constexpr std::size_t kChaosPagesKept = 16;

}  // namespace

void DevServer::Populate(std::int64_t count, double sunk_percent, double tamed_percent,
                         std::uint32_t seed) {
  Random random(seed);
  PopulateWith(random, count, sunk_percent, tamed_percent);
}

void DevServer::Spawned(std::int64_t id, std::int32_t team) {
  teams_[id] = team;
  if (team < kTamedTeam) ++wild_alive_;
  alive_index_[id] = alive_ids_.size();
  alive_ids_.push_back(id);
}

void DevServer::StartChaos(double rate, std::uint32_t seed, double fault_rate) {
  chaos_ = Chaos{rate, Random(seed)};
  standin::SetReclaimedPagesKept(kChaosPagesKept);
  standin::FailGameFunctionAtRate(kGroundQuery, fault_rate, seed);
}

// The game's own churn, before the tick: creatures destroyed (their memory reclaimed after the
// usual delay, then reused for new ones) while the plugin's roster still holds them.
void DevServer::RunChaos() {
  const auto count = static_cast<std::int64_t>(
      std::floor(static_cast<double>(alive_ids_.size()) * chaos_->rate / 100.0));
  for (std::int64_t i = 0; i < count && !alive_ids_.empty(); ++i) {
    const std::int64_t id = alive_ids_[chaos_->random.Next() % alive_ids_.size()];
    destroyed_by_game_.insert(id);
    standin::DestroyByGame(id);  // its destroy event takes it off alive_ids_
  }
  PopulateWith(chaos_->random, count, kChaosSunkPercent, kChaosTamedPercent);
}

void DevServer::PopulateWith(Random& random, std::int64_t count, double sunk_percent,
                             double tamed_percent) {
  for (std::int64_t i = 0; i < count; ++i) {
    const bool tamed = random.Unit() * 100.0 < tamed_percent;
    const bool sunk = random.Unit() * 100.0 < sunk_percent;
    const std::int32_t team = tamed ? kTamedTeam + static_cast<std::int32_t>(random.Next() % 950000)
                                    : static_cast<std::int32_t>(random.Next() % kTamedTeam);
    Vector3 position;
    float ground = 0.0F;
    for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
      position.X = static_cast<float>((random.Unit() * 2.0 - 1.0) * kWorldHalfSize);
      position.Y = static_cast<float>((random.Unit() * 2.0 - 1.0) * kWorldHalfSize);
      ground = standin::GroundHeightAt(position.X, position.Y);
      if (!std::isnan(ground)) break;
    }
    const double depth = kSunkDepthMin + random.Unit() * kSunkDepthRange;
    if (std::isnan(ground)) ground = 0.0F;  // all holes: lay it at 0, it has no ground anyway
    position.Z = sunk ? static_cast<float>(ground - depth) : ground + kStandingHeight;
    const std::int64_t id = next_creature_id_++;
    standin::SpawnCreature(id, team, position);
    Spawned(id, team);
  }
}

}  // namespace brimwarden::devserver
