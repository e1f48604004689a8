// The seam table (seam.h): the stand-in answers every game name in it, each field at the offset its
// objects are laid out with, and the guide for building against a real framework lists every entry
// with its marking and who frees what.
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brimwarden/host/game_names.h"
#include "brimwarden/host/seam.h"
#include "brimwarden/standin/standin.h"

namespace {

using brimwarden::host::SeamOrigin;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

struct SeamEntry {
  std::string name;
  SeamOrigin origin;
  std::string ownership;  // who frees what, and when
};

std::vector<SeamEntry> GameNames() {
  std::vector<SeamEntry> entries;
#define BRIMWARDEN_COLLECT(constant, type, name, origin, ownership) \
  entries.push_back({name, SeamOrigin::origin, ownership});
  BRIMWARDEN_GAME_ALLOCATOR(BRIMWARDEN_COLLECT)
  BRIMWARDEN_GAME_FUNCTIONS(BRIMWARDEN_COLLECT)
  BRIMWARDEN_GAME_FIELDS(BRIMWARDEN_COLLECT)
#undef BRIMWARDEN_COLLECT
  return entries;
}

std::vector<SeamEntry> AllEntries() {
  std::vector<SeamEntry> entries = GameNames();
#define BRIMWARDEN_COLLECT(kind, name, origin, what, ownership) \
  entries.push_back({name, SeamOrigin::origin, ownership});
  BRIMWARDEN_FRAMEWORK_SEAM(BRIMWARDEN_COLLECT)
#undef BRIMWARDEN_COLLECT
  return entries;
}

/// Reads a field of a game object at the address the framework resolves for its name.
template <typename Field>
Field FieldOf(const void* object, const std::string& name) {
  Field value{};
  std::memcpy(&value, GetAddress(object, name), sizeof value);
  return value;
}

std::vector<float> Coordinates(const Vector3& v) { return {v.X, v.Y, v.Z}; }

TEST(SeamTableTest, StandInAnswersEveryGameFunctionAndField) {
#define BRIMWARDEN_EXPECT_FUNCTION(constant, signature, name, origin, ownership) \
  EXPECT_NE(GetAddress(std::string(name)), nullptr) << name;
  BRIMWARDEN_GAME_ALLOCATOR(BRIMWARDEN_EXPECT_FUNCTION)
  BRIMWARDEN_GAME_FUNCTIONS(BRIMWARDEN_EXPECT_FUNCTION)
#undef BRIMWARDEN_EXPECT_FUNCTION
  EXPECT_EQ(brimwarden::host::kDestroy.Name(), std::string("AActor.Destroy"));

  // Each field, read through the address the stand-in resolves in one of its own objects, holds
  // what the stand-in put there: an offset that is not the one its objects are laid out with fails.
  std::vector<std::string> fields;
#define BRIMWARDEN_COLLECT_FIELD(constant, type, name, origin, ownership) fields.push_back(name);
  BRIMWARDEN_GAME_FIELDS(BRIMWARDEN_COLLECT_FIELD)
#undef BRIMWARDEN_COLLECT_FIELD
  EXPECT_THAT(fields, UnorderedElementsAre("AActor.TargetingTeam", "AActor.RootComponent",
                                           "USceneComponent.RelativeLocation",
                                           "AActor.DefaultActorLocation",
                                           "AShooterPlayerController.bIsAdmin"))
      << "every game field is read back below";
  standin::ResetWorld();
  AActor* const creature = standin::SpawnCreature(7, 1234, Vector3{1.5F, -2.5F, 3.25F});
  AShooterPlayerController* const admin = standin::AddPlayer("Admin", true);
  AShooterPlayerController* const guest = standin::AddPlayer("Guest", false);
  standin::MovePlayer(admin, Vector3{-7.0F, 8.5F, 9.75F});
  EXPECT_EQ(FieldOf<std::int32_t>(creature, "AActor.TargetingTeam"), 1234);
  EXPECT_EQ(FieldOf<std::uint8_t>(admin, "AShooterPlayerController.bIsAdmin"), 1);
  EXPECT_EQ(FieldOf<std::uint8_t>(guest, "AShooterPlayerController.bIsAdmin"), 0);
  EXPECT_THAT(Coordinates(FieldOf<Vector3>(admin, "AActor.DefaultActorLocation")),
              ElementsAre(-7.0F, 8.5F, 9.75F));
  // The root component follows the stand-in's switch, so the read cannot land on another field
  // before the component is followed.
  standin::SetRootComponentPresent(7, false);
  ASSERT_EQ(FieldOf<USceneComponent*>(creature, "AActor.RootComponent"), nullptr);
  standin::SetRootComponentPresent(7, true);
  const auto* const root = FieldOf<USceneComponent*>(creature, "AActor.RootComponent");
  ASSERT_NE(root, nullptr);
  EXPECT_THAT(Coordinates(FieldOf<Vector3>(root, "USceneComponent.RelativeLocation")),
              ElementsAre(1.5F, -2.5F, 3.25F));
  standin::ResetWorld();
}

TEST(SeamTableTest, GuideListsEveryEntryWithItsMarkingAndOwnership) {
  std::ifstream in(BRIMWARDEN_SOURCE_DIR "/docs/building-for-a-server.md");
  ASSERT_TRUE(in) << "docs/building-for-a-server.md";
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  for (const SeamEntry& entry : AllEntries()) {
    const std::string marking = entry.origin == SeamOrigin::kGiven ? "| given |" : "| assumed |";
    bool found = false;
    for (const std::string& line : lines) {
      if (line.find("`" + entry.name + "`") != std::string::npos &&
          line.find(marking) != std::string::npos &&
          line.find("| " + entry.ownership + " |") != std::string::npos) {
        found = true;
      }
    }
    EXPECT_TRUE(found) << "the guide's table has no row for `" << entry.name << "` marked "
                       << marking << " with who frees what (\"" << entry.ownership
                       << "\"): add it from host/include/brimwarden/host/seam.h";
  }
}

}  // namespace
