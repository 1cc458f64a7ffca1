// The uninstall run against the recording platform: which operations it asks
// for, in which order, with which bytes, and what it returns.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/unit/recording_platform.h"
#include "uninstall/outcome_report.h"
#include "uninstall/uninstall.h"

namespace {

using recording_platform::Recorded;
using recording_platform::Script;
using ::testing::ElementsAre;

const std::string kTail = "\\system32\\Sorrelvane Screensaver.scr";
const std::string kWowTail = "\\SysWOW64\\Sorrelvane Screensaver.scr";

// Runs the uninstaller once against `script` and returns its exit status.
int RunWith(const Script& script) {
  recording_platform::Reset(script);
  return uninstall::UninstallScreensaver();
}

Script WithRoot(const std::string& value) {
  Script script;
  script.environment_value = value;
  return script;
}

TEST(RunOrder, AcceptedRequestRunsEveryStepInOrderThenReports) {
  EXPECT_EQ(0, RunWith(Script{}));
  const std::string path = "C:\\WINDOWS" + kTail;
  EXPECT_THAT(Recorded().calls,
              ElementsAre("LookUpEnvironmentVariable(SystemRoot)", "OpenFileForReading(" + path + ")",
                          "CloseFile(opened file)", "SetFileAttributeBits(" + path + ", 128)",
                          "RequestDeletionAtRestart(" + path + ")", "WindowStationIsVisible()",
                          "ShowMessageBox(style 0)"));
  EXPECT_THAT(Recorded().box_captions, ElementsAre("Uninstallation Completed"));
}

// Under a deployment tool, as SYSTEM in session 0, nobody could press OK.
TEST(RunOrder, InvisibleWindowStationDoesEverythingButTheBox) {
  for (bool accepted : {true, false}) {
    Script script;
    script.deletion_request_accepted = accepted;
    RunWith(script);
    auto seen = Recorded().calls;
    script.window_station_visible = false;
    EXPECT_EQ(0, RunWith(script));
    ASSERT_EQ("ShowMessageBox(style 0)", seen.back());
    seen.pop_back();
    EXPECT_EQ(seen, Recorded().calls) << "request accepted: " << accepted;
    EXPECT_TRUE(Recorded().box_texts.empty());
  }
}

TEST(RunOrder, RefusedRequestStillReportsAndReturnsZero) {
  Script script;
  script.deletion_request_accepted = false;
  EXPECT_EQ(0, RunWith(script));
  ASSERT_EQ(1u, Recorded().box_texts.size());
  EXPECT_EQ(0u, Recorded().box_texts[0].rfind("There was a problem uninstalling.\r\n", 0))
      << "got: " << Recorded().box_texts[0];
  EXPECT_EQ("ShowMessageBox(style 0)", Recorded().calls.back());
}

TEST(RunOrder, FailedAttributeResetDoesNotStopTheRequest) {
  Script script;
  script.set_attributes_succeeds = false;
  EXPECT_EQ(0, RunWith(script));
  ASSERT_EQ(7u, Recorded().calls.size());
  EXPECT_EQ("RequestDeletionAtRestart(C:\\WINDOWS" + kTail + ")", Recorded().calls[4]);
  EXPECT_THAT(Recorded().box_texts[0], ::testing::StartsWith("Uninstall completed.  "));
}

TEST(RunOrder, NeitherCopyOpeningEndsTheRunSilently) {
  Script script;
  script.opens = {false, false};
  EXPECT_EQ(0, RunWith(script));
  EXPECT_THAT(Recorded().calls, ElementsAre("LookUpEnvironmentVariable(SystemRoot)",
                                            "OpenFileForReading(C:\\WINDOWS" + kTail + ")",
                                            "OpenFileForReading(C:\\WINDOWS" + kWowTail + ")"));
}

TEST(RunOrder, CopyOnlyInSysWow64IsProbedAfterSystem32AndHandled) {
  Script script;
  script.opens = {false, true};
  EXPECT_EQ(0, RunWith(script));
  const std::string path = "C:\\WINDOWS\\SysWOW64\\Sorrelvane Screensaver.scr";
  EXPECT_THAT(Recorded().calls,
              ElementsAre("LookUpEnvironmentVariable(SystemRoot)", "OpenFileForReading(C:\\WINDOWS" + kTail + ")",
                          "OpenFileForReading(" + path + ")", "CloseFile(opened file)",
                          "SetFileAttributeBits(" + path + ", 128)", "RequestDeletionAtRestart(" + path + ")",
                          "WindowStationIsVisible()", "ShowMessageBox(style 0)"));
}

TEST(RunOrder, System32CopyWinsWhenBothWouldOpen) {
  Script script;
  script.opens = {true, true};
  RunWith(script);
  ASSERT_EQ(7u, Recorded().calls.size());
  for (unsigned i : {1u, 3u, 4u})
    EXPECT_NE(std::string::npos, Recorded().calls[i].find(kTail)) << "call " << i << ": " << Recorded().calls[i];
}

TEST(RunOrder, SecondRunMakesASecondRequestAndReport) {
  RunWith(Script{});
  const auto first = Recorded().calls;
  RunWith(Script{});
  EXPECT_EQ(first, Recorded().calls);
}

TEST(TargetPath, IsTheValueThenSystem32ThenTheFileName) {
  RunWith(WithRoot("D:\\WinNT"));
  EXPECT_EQ("OpenFileForReading(D:\\WinNT\\system32\\Sorrelvane Screensaver.scr)", Recorded().calls[1]);
}

TEST(TargetPath, KeepsATrailingBackslashOnTheValueInBothFolders) {
  for (const std::string root : {"C:\\Windows\\", "C:\\"}) {
    Script script = WithRoot(root);
    script.opens = {false, false};
    RunWith(script);
    EXPECT_THAT(Recorded().calls, ElementsAre("LookUpEnvironmentVariable(SystemRoot)",
                                              "OpenFileForReading(" + root + kTail + ")",
                                              "OpenFileForReading(" + root + kWowTail + ")"));
  }
}

TEST(TargetPath, EmptyValueGivesAPathFromTheDriveRoot) {
  RunWith(WithRoot(""));
  EXPECT_EQ("OpenFileForReading(\\system32\\Sorrelvane Screensaver.scr)", Recorded().calls[1]);
}

TEST(TargetPath, ValueOf223BytesFillsTheBufferExactlyInBothFolders) {
  const std::string value = "C:" + std::string(221, 'x');
  Script script = WithRoot(value);
  script.opens = {false, true};
  RunWith(script);
  ASSERT_EQ(259u, (value + kTail).size());
  EXPECT_EQ("OpenFileForReading(" + value + kTail + ")", Recorded().calls.at(1));
  EXPECT_EQ("OpenFileForReading(" + value + kWowTail + ")", Recorded().calls.at(2));
  EXPECT_EQ(8u, Recorded().calls.size());
}

TEST(TargetPath, ValueOf224BytesTouchesNothing) {
  EXPECT_EQ(0, RunWith(WithRoot("C:" + std::string(222, 'x'))));
  EXPECT_THAT(Recorded().calls, ElementsAre("LookUpEnvironmentVariable(SystemRoot)"));
}

TEST(TargetPath, UnsetVariableTouchesNothing) {
  Script script;
  script.environment_value.reset();
  EXPECT_EQ(0, RunWith(script));
  EXPECT_THAT(Recorded().calls, ElementsAre("LookUpEnvironmentVariable(SystemRoot)"));
}

TEST(TargetPath, BuildRefusesAPieceThatDoesNotFitAndKeepsWhatFit) {
  const std::string value(240, 'x');
  uninstall::ByteString path;
  EXPECT_FALSE(uninstall::BuildTargetPath(value.c_str(), uninstall::kSystem32Folder, path));
  EXPECT_EQ(value + "\\system32\\", path.c_str());
  EXPECT_EQ(250u, path.length());
}

}  // namespace
