// The seam table (seam.h): the stand-in answers every game name in it, and the guide for building
// against a real framework lists every entry with its marking and who frees what.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brimwarden/host/game_names.h"
#include "brimwarden/host/seam.h"

namespace {

using brimwarden::host::SeamOrigin;

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

TEST(SeamTableTest, StandInAnswersEveryGameFunctionAndField) {
#define BRIMWARDEN_EXPECT_FUNCTION(constant, signature, name, origin, ownership) \
  EXPECT_NE(GetAddress(std::string(name)), nullptr) << name;
  BRIMWARDEN_GAME_ALLOCATOR(BRIMWARDEN_EXPECT_FUNCTION)
  BRIMWARDEN_GAME_FUNCTIONS(BRIMWARDEN_EXPECT_FUNCTION)
#undef BRIMWARDEN_EXPECT_FUNCTION
  // A field's address is the object's plus the offset: every field lies inside the object.
  static char object[4096];
#define BRIMWARDEN_EXPECT_FIELD(constant, type, name, origin, ownership) \
  EXPECT_GE(static_cast<char*>(GetAddress(object, std::string(name))), object) << name;
  BRIMWARDEN_GAME_FIELDS(BRIMWARDEN_EXPECT_FIELD)
#undef BRIMWARDEN_EXPECT_FIELD
  EXPECT_EQ(brimwarden::host::kDestroy.Name(), std::string("AActor.Destroy"));
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
