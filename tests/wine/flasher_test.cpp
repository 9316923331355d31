// The two ways of starting the flashing tool, against the stand-in that lies beside this
// test program (both are built into the same folder).

#include <gtest/gtest.h>

#include <string>

#include "notify/flasher_launch.h"
#include "notify/flasher_start.h"
#include "person.h"

namespace {

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

class FlasherStart : public ::testing::Test {
 protected:
  void SetUp() override {
    elsewhere_ = person::MakeFolder(L"Elsewhere");
    records_ = person::MakeFolder(L"Records");
    record_ = records_ + L"\\standin.txt";
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record_.c_str());
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", L"1");
    GetCurrentDirectoryW(MAX_PATH, previous_folder_);
  }

  void TearDown() override {
    SetCurrentDirectoryW(previous_folder_);
    const person::StandInRecord record = person::WaitForRecord(record_, 0);
    for (int i = 0; record.found && person::ProcessIsRunning(record.pid) && i < 60; ++i) Sleep(50);
    person::RemoveFolder(elsewhere_);
    person::RemoveFolder(records_);
  }

  std::wstring elsewhere_;
  std::wstring records_;
  std::wstring record_;
  wchar_t previous_folder_[MAX_PATH] = {};
};

TEST_F(FlasherStart, CreatesTheProcessFromTheBareNameShownNormal) {
  ASSERT_EQ(CreateFlasherProcess(), 0u);
  const person::StandInRecord record = person::WaitForRecord(record_, 5000);
  ASSERT_TRUE(record.found);
  EXPECT_EQ(record.command_line, L"WinPhlash.exe");
  EXPECT_EQ(record.uses_show_state, 1);
  EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
}

// Wine never asks for elevation, so "elevation required" is played by a stand-in call; the
// shell start that follows is the real one.
std::uint32_t ElevationRequired() { return kElevationRequired; }

TEST_F(FlasherStart, ElevationStartsTheFileBesideTheProgramThroughTheShell) {
  // A copy in the current folder must lose to the one beside the program.
  ASSERT_TRUE(CopyFileW((OwnFolder() + L"\\WinPhlash.exe").c_str(),
                        (elsewhere_ + L"\\WinPhlash.exe").c_str(), FALSE));
  SetCurrentDirectoryW(elsewhere_.c_str());
  ASSERT_TRUE(LaunchFlasher({ElevationRequired, StartFlasherElevated}));
  const person::StandInRecord record = person::WaitForRecord(record_, 5000);
  ASSERT_TRUE(record.found);
  EXPECT_EQ(lstrcmpiW(record.module.c_str(), (OwnFolder() + L"\\WinPhlash.exe").c_str()), 0)
      << record.module;
  EXPECT_EQ(record.show_state, SW_SHOWNORMAL);
}

}  // namespace
