// A program that hosts the plugin without setting the stand-in up, as a real server would if the
// dev kit's libraries were copied into it: the plugin must load, register nothing, write nothing,
// and unload, and the process must go on.
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "brimwarden/host/framework_api.h"
#include "brimwarden/host/native.h"
#include "brimwarden/standin/standin.h"
#include "test_support.h"

namespace {

int CountNotSetUpLines() {
  int count = 0;
  for (const standin::LogRecord& record : standin::LogRecords()) {
    if (record.text.find(standin::kNotSetUpMessage) != std::string::npos) ++count;
  }
  return count;
}

TEST(StandInInertTest, PluginSitsInertUntilTheHostSetsTheStandInUp) {
  ASSERT_FALSE(standin::IsSetUp());
  const std::filesystem::path start = std::filesystem::current_path();
  {
    brimwarden::test::PluginLibrary plugin;  // the entry point runs Load
    ASSERT_TRUE(plugin.IsLoaded());
    for (const char* kind : {"tick", "rcon", "chat"}) {
      EXPECT_TRUE(standin::RegisteredNames(kind).empty()) << kind;
    }
  }                                    // and Unload
  EXPECT_GE(CountNotSetUpLines(), 2);  // Load stopped at the framework, and so did Unload
  EXPECT_FALSE(std::filesystem::exists(start / "ArkApi"));  // no log file, no configuration
  EXPECT_THROW(ArkApi::GetCommands(), std::logic_error);
  EXPECT_THROW(ArkApi::GetApiUtils(), std::logic_error);
  EXPECT_THROW(ArkApi::Tools::GetCurrentDir(), std::logic_error);
  EXPECT_THROW(GetAddress(std::string("AActor.Destroy")), std::logic_error);
  EXPECT_THROW(GetAddress(nullptr, std::string("AActor.TargetingTeam")), std::logic_error);
  // An unknown name is refused the same way instead of ending the process.
  EXPECT_THROW(GetAddress(std::string("AActor.NoSuchFunction")), std::logic_error);

  // Once set up, the same library loads as it always did.
  standin::SetUp();
  standin::ClearLogRecords();
  const brimwarden::test::ServerDir dir;
  {
    brimwarden::test::PluginLibrary plugin;
    EXPECT_EQ(standin::RegisteredNames("tick").size(), 1U);
    EXPECT_EQ(standin::RegisteredNames("rcon").size(), 7U);  // reload, three to manage, three more
    EXPECT_EQ(standin::RegisteredNames("chat").size(), 8U);  // five to author, three to manage
  }
  EXPECT_EQ(CountNotSetUpLines(), 0);
}

}  // namespace
