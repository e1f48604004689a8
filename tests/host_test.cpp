// The plugin's layer over the game: strings, the game's array and its allocator, the chat record.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brimwarden/host/game_types.h"
#include "brimwarden/host/text.h"
#include "brimwarden/standin/standin.h"

namespace {

TEST(FStringTest, NarrowTextMapsEachByteAndEndsWithTerminator) {
  const FString text(std::string_view("Gate \xC3\xA9\x7F!"));
  ASSERT_EQ(text.Array().Num(), 10);  // 9 bytes + terminator
  EXPECT_EQ(text.View(), std::u16string_view(u"Gate ??\x7F!"));
  EXPECT_EQ(text.Array()[9], u'\0');
  EXPECT_EQ(text.Len(), 9);
}

TEST(FStringTest, WideTextIsCopiedWithTerminator) {
  const std::u16string source = u"Nord\u00E9 \xD800x";
  const FString text(source);
  EXPECT_EQ(text.Array().Num(), static_cast<int>(source.size()) + 1);
  EXPECT_EQ(text.View(), source);
  EXPECT_EQ(text.Array()[text.Array().Num() - 1], u'\0');
}

TEST(FStringTest, EmptyTextHasCountZeroAndNoStorage) {
  const auto before = standin::GetAllocatorStats();
  const FString narrow(std::string_view(""));
  const FString wide(std::u16string_view(u""));
  const FString none;
  for (const FString* text : {&narrow, &wide, &none}) {
    EXPECT_EQ(text->Array().Num(), 0);
    EXPECT_EQ(text->Array().Data(), nullptr);
    EXPECT_TRUE(text->View().empty());
  }
  EXPECT_EQ(standin::GetAllocatorStats().mallocs, before.mallocs);
}

TEST(FStringTest, StorageComesFromAndGoesBackToTheGameAllocator) {
  const auto before = standin::GetAllocatorStats();
  {
    const FString text(std::string_view("BWD.reload"));
    EXPECT_TRUE(standin::IsLiveBlock(text.Array().Data()));
    EXPECT_EQ(standin::GetAllocatorStats().live_blocks, before.live_blocks + 1);
  }
  const auto after = standin::GetAllocatorStats();
  EXPECT_EQ(after.live_blocks, before.live_blocks);
  EXPECT_EQ(after.frees, before.frees + 1);
  EXPECT_EQ(after.foreign_frees, before.foreign_frees);
}

TEST(ToUtf8Test, ConvertsLikeTheWindowsUtf8CodePage) {
  struct Case {
    std::u16string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {u"", ""},
      {u"North Gate", "North Gate"},
      {u"\u00E9\u00DF", "\xC3\xA9\xC3\x9F"},
      {u"\u20AC", "\xE2\x82\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},  // surrogate pair
      {u"a\xD800"
       u"b",
       "a\xEF\xBF\xBD"
       "b"},                                          // lone high surrogate
      {u"\xDC00", "\xEF\xBF\xBD"},                    // lone low surrogate
      {u"\xDBFF", "\xEF\xBF\xBD"},                    // high surrogate at the end
      {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // reversed pair
      {std::u16string(1, u'\0') + u"x", std::string(1, '\0') + "x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(brimwarden::host::ToUtf8(c.in), c.out);
  }
  EXPECT_EQ(ToUtf8(FString(std::u16string_view(u"Z\u00FCrich"))), "Z\xC3\xBCrich");
}

TEST(ToUtf16Test, ConvertsUtf8AndReplacesEveryMalformedByte) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {"", u""},
      {"North Gate {}", u"North Gate {}"},
      {"Zo\xC3\xAB \xE5\x8C\x97 \xF0\x9F\xA6\x96", u"Zo\u00EB \u5317 \U0001F996"},
      {"\xEF\xBF\xBD", u"\uFFFD"},
      {"a\xC3", u"a\uFFFD"},                              // cut short at the end
      {"\xC3(", u"\uFFFD("},                              // a lead byte without its continuation
      {"\x80\xBF", u"\uFFFD\uFFFD"},                      // stray continuations
      {"\xFF", u"\uFFFD"},                                // a byte that starts nothing
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
  };
  for (const Case& c : cases) {
    EXPECT_EQ(brimwarden::host::ToUtf16(c.in), c.out) << c.in;
    // What ToUtf16 gives back converts to the same text, with the replacements spelled out.
    EXPECT_EQ(brimwarden::host::ToUtf16(brimwarden::host::ToUtf8(c.out)), c.out) << c.in;
  }
}

TEST(HostArrayTest, GrowsByTheGameRule) {
  HostArray<AActor*> array;
  std::vector<std::pair<int, int>> seen;  // count at which the capacity changed, new capacity
  int capacity = 0;
  for (int i = 1; i <= 48; ++i) {
    array.Add(reinterpret_cast<AActor*>(static_cast<std::uintptr_t>(i)));
    if (array.Max() != capacity) {
      capacity = array.Max();
      seen.emplace_back(i, capacity);
    }
  }
  const std::vector<std::pair<int, int>> expected = {{1, 4}, {5, 22}, {23, 47}, {48, 82}};
  EXPECT_EQ(seen, expected);
  for (int i = 0; i < array.Num(); ++i) {
    EXPECT_EQ(array[i], reinterpret_cast<AActor*>(static_cast<std::uintptr_t>(i + 1)));
  }
}

TEST(HostArrayTest, GrowthCapacityEdges) {
  using brimwarden::host::GrowCapacity;
  EXPECT_EQ(GrowCapacity(1, 0), 4);
  EXPECT_EQ(GrowCapacity(4, 0), 4);
  EXPECT_EQ(GrowCapacity(5, 0), 5 + 1 + 16);  // no storage, but more than 4 at once
  EXPECT_EQ(GrowCapacity(2, 1), 2 + 0 + 16);  // had storage: the small-array rule does not apply
  EXPECT_EQ(GrowCapacity(1'600'000'000, 1'500'000'000), 2147483647);
  EXPECT_EQ(GrowCapacity(1'000'000'000, 900'000'000), 1'375'000'016);
  EXPECT_EQ(GrowCapacity(2147483647, 2147483000), 2147483647);
}

TEST(HostArrayTest, TakesMallocOnceThenReallocAndFreesOnce) {
  const auto before = standin::GetAllocatorStats();
  {
    HostArray<int> array;
    for (int i = 0; i < 23; ++i) array.Add(i);  // capacities 4, 22, 47
    const auto during = standin::GetAllocatorStats();
    EXPECT_EQ(during.mallocs - before.mallocs, 1);
    EXPECT_EQ(during.reallocs - before.reallocs, 2);
    EXPECT_EQ(during.live_bytes - before.live_bytes, static_cast<std::int64_t>(47 * sizeof(int)));
    EXPECT_EQ(array.Pop(), 22);
    EXPECT_EQ(array.Num(), 22);
    EXPECT_EQ(array.Max(), 47);
  }
  const auto after = standin::GetAllocatorStats();
  EXPECT_EQ(after.frees - before.frees, 1);
  EXPECT_EQ(after.live_blocks, before.live_blocks);
}

TEST(HostArrayTest, MoveAndSwapTransferStorage) {
  HostArray<int> first;
  first.Add(7);
  int* storage = first.Data();
  HostArray<int> second(std::move(first));
  EXPECT_EQ(first.Data(), nullptr);
  EXPECT_EQ(first.Num(), 0);
  EXPECT_EQ(second.Data(), storage);
  HostArray<int> third;
  third = std::move(second);
  EXPECT_EQ(third.Data(), storage);
  EXPECT_EQ(third[0], 7);
}

TEST(ChatMessageTest, FieldsLieWhereTheGameExpectsThem) {
  EXPECT_EQ(offsetof(ChatMessage, SenderName), 0u);
  EXPECT_EQ(offsetof(ChatMessage, SenderId), 48u);
  EXPECT_EQ(offsetof(ChatMessage, Message), 56u);
  EXPECT_EQ(offsetof(ChatMessage, Receiver), 72u);
  EXPECT_EQ(offsetof(ChatMessage, SenderTeamIndex), 88u);
  EXPECT_EQ(offsetof(ChatMessage, ReceivedTime), 96u);
  EXPECT_EQ(offsetof(ChatMessage, SendMode), 104u);
  EXPECT_EQ(offsetof(ChatMessage, RadioFrequency), 108u);
  EXPECT_EQ(offsetof(ChatMessage, ChatType), 112u);
  EXPECT_EQ(offsetof(ChatMessage, SenderIcon), 120u);
  EXPECT_EQ(offsetof(ChatMessage, UserId), 128u);
  EXPECT_EQ(sizeof(ChatMessage), 144u);
}

TEST(ChatMessageTest, ReachesThePlayerThroughTheGameFunction) {
  standin::ResetWorld();
  standin::ClearEvents();
  AShooterPlayerController* player = standin::AddPlayer("alice", true);
  FString sender(std::string_view("shBrimwarden"));
  FString text(std::string_view("Zone created"));
  ChatMessage message;
  message.SenderName = HandOverToChatField(sender);
  message.Message = HandOverToChatField(text);
  message.ReceivedTime = -1.0;
  const NativeFunction<void(AShooterPlayerController*, ChatMessage)> client_chat_message(
      "AShooterPlayerController.ClientChatMessage");
  client_chat_message(player, message);
  const auto events = standin::Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, standin::EventKind::kChat);
  EXPECT_EQ(events[0].to, "alice");
  EXPECT_EQ(events[0].from, "shBrimwarden");
  EXPECT_EQ(events[0].text, "Zone created");
  EXPECT_EQ(events[0].received_time, -1.0);
}

TEST(NativeFieldTest, ReachesTheFieldOfEachObject) {
  standin::ResetWorld();
  AActor* first = standin::SpawnCreature(1, 49999, {1, 2, 3});
  AActor* second = standin::SpawnCreature(2, 50000, {4, 5, 6});
  const NativeField<std::int32_t> team("AActor.TargetingTeam");
  EXPECT_EQ(team(first), 49999);
  EXPECT_EQ(team(second), 50000);
  team(first) = 7;  // a field is the object's own storage, not a copy
  EXPECT_EQ(team(first), 7);
  const NativeField<USceneComponent*> root("AActor.RootComponent");
  const NativeField<Vector3> location("USceneComponent.RelativeLocation");
  EXPECT_EQ(location(root(second)).Z, 6.0F);
}

}  // namespace
