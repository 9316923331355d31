#pragma once

// The base of the tests that start the stand-in flashing tool: a folder for its record,
// the stand-in ended once the test is over, so that none outlives it, and the test's folders.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "folders.h"
#include "program_run.h"
#include "standin_record.h"

namespace wine_test {

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring records = NewFolder(L"Records");
    ASSERT_FALSE(records.empty());
    record_ = records + L"\\standin.ini";
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record_.c_str());
    SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", L"0");
  }

  void TearDown() override {
    End(WaitForRecord(record_, 0));
    for (const std::wstring& folder : folders_) RemoveFolder(folder);
  }

  // A fresh folder (MakeFolder), removed after the test.
  std::wstring NewFolder(const std::wstring& name) {
    folders_.push_back(MakeFolder(name));
    return folders_.back();
  }

  // A stand-in still running keeps its file busy. Once its record is read it has done its
  // part (a long-lived one had only to outlive the program): it is ended, not waited for.
  static void End(const StandInRecord& record) {
    // No record, no process: OpenProcess refuses process id 0.
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, record.pid);
    if (process == nullptr) return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  }

  // What the stand-in recorded, once it has ended; the record is then cleared.
  StandInRecord TakeRecord(DWORD timeout_ms) {
    const StandInRecord record = WaitForRecord(record_, timeout_ms);
    End(record);
    DeleteFileW(record_.c_str());
    return record;
  }

  std::wstring record_;
  std::vector<std::wstring> folders_;
};

}  // namespace wine_test
