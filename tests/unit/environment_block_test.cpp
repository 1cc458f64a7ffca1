// The environment lookup's own search through a process environment block.

#include <gtest/gtest.h>

#include <string>

#include "platform/environment_block.h"

namespace {

// Builds a block from entries separated by '|', each then zero-terminated,
// with the closing empty entry.
std::string Block(const std::string& entries) {
  std::string block = entries + '\0';
  for (char& c : block)
    if (c == '|') c = '\0';
  return block + '\0';
}

const char* Find(const std::string& block) { return platform::FindEnvironmentValue(block.data(), "SystemRoot"); }

TEST(EnvironmentLookup, MatchesTheNameInAnyLetterCase) {
  for (const char* entry : {"SystemRoot=a", "SYSTEMROOT=a", "systemroot=a", "sYsTeMrOoT=a"}) {
    const std::string block = Block(std::string("PATH=x|") + entry);
    ASSERT_NE(nullptr, Find(block)) << entry;
    EXPECT_STREQ("a", Find(block)) << entry;
  }
}

TEST(EnvironmentLookup, FirstMatchingEntryWins) {
  EXPECT_STREQ("first", Find(Block("SYSTEMROOT=first|systemroot=second|SystemRoot=third")));
}

TEST(EnvironmentLookup, NamesThatOnlyBeginOrEndLikeItDoNotMatch) {
  EXPECT_STREQ("real", Find(Block("SystemRootX=no|SystemRoo=no|XSystemRoot=no|=SystemRoot=no|SystemRoot=real")));
  EXPECT_EQ(nullptr, Find(Block("SystemRootX=no|SystemRoo=no")));
}

TEST(EnvironmentLookup, ValueIsEverythingAfterTheFirstEquals) {
  EXPECT_STREQ("C:\\a=b=", Find(Block("SystemRoot=C:\\a=b=")));
  EXPECT_STREQ("", Find(Block("SystemRoot=|SystemRoot=later")));
}

TEST(EnvironmentLookup, UnsetOrEmptyBlockFindsNothing) {
  EXPECT_EQ(nullptr, Find(Block("=C:=C:\\|PATH=x|SystemRoot")));
  EXPECT_EQ(nullptr, Find(std::string(2, '\0')));
}

}  // namespace
