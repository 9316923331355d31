#pragma once

// The base of the tests that start the stand-in flashing tool: a folder for its record,
// and the wait for the stand-in to end, so that none outlives its test.

#include <gtest/gtest.h>

#include "folders.h"
#include "program_run.h"
#include "standin_record.h"

namespace wine_test {

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    records_ = MakeFolder(L"Records");
    ASSERT_FALSE(records_.empty());
    record_ = records_ + L"\\standin.txt";
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record_.c_str());
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", L"0");
  }

  void TearDown() override {
    WaitForTheStandInToEnd();
    RemoveFolder(records_);
  }

  // A stand-in still running keeps its file busy; let it finish first.
  void WaitForTheStandInToEnd() const {
    const StandInRecord record = WaitForRecord(record_, 0);
    if (record.found) ProcessIsRunning(record.pid, Scaled(5000));
  }

  // What the stand-in recorded, once it has ended; the record is then cleared.
  StandInRecord TakeRecord(DWORD timeout_ms) {
    const StandInRecord record = WaitForRecord(record_, timeout_ms);
    WaitForTheStandInToEnd();
    DeleteFileW(record_.c_str());
    return record;
  }

  std::wstring records_;
  std::wstring record_;
};

}  // namespace wine_test
