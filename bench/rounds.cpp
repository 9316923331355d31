// Runs the four programs of the benchmark in turn (A B C D B C D A ...) and prints how long
// each run took, from the start of the process to its end, with the ratios between them.
//
//   rounds ROUNDS FOLDER
//
// FOLDER holds FlashGate.exe, reference_wbem.exe, do_nothing.exe, job.vbs and the stand-in
// flasher (kToolFile); every program starts there. One warm-up round, untimed, first proves
// that A, B and C each start the stand-in and D does not.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "folders.h"
#include "program_run.h"
#include "standin_record.h"
#include "stopwatch.h"

namespace {

struct Program {
  const char* label;
  std::wstring command_line;
  bool starts_flasher;
  std::vector<double> milliseconds;
};

// One run, start to end, in milliseconds; negative when it could not be started or did
// not end within a minute.
double TimeOneRun(const Program& program, const std::wstring& folder) {
  std::wstring command_line = program.command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const double start = NowMs();
  if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &process)) {
    return -1;
  }
  const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  const double elapsed = NowMs() - start;
  if (!ended) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // A stand-in still ending must not run into the next measurement.
  wine_test::WaitForProcessesNamed(wine_test::kToolFile, 10000);
  return ended ? elapsed : -1;
}

// The untimed round: each program must do the job it is measured on.
bool WarmUpAndCheck(const std::vector<Program>& programs, const std::wstring& folder) {
  const std::wstring record = folder + L"\\warm-up-record.txt";
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", record.c_str());
  bool all_right = true;
  for (const Program& program : programs) {
    DeleteFileW(record.c_str());
    if (TimeOneRun(program, folder) < 0) {
      std::printf("%s: could not be run\n", program.label);
      all_right = false;
    } else if (wine_test::WaitForRecord(record, 0).found != program.starts_flasher) {
      std::printf("%s: %s the stand-in flasher\n", program.label,
                  program.starts_flasher ? "did not start" : "started");
      all_right = false;
    }
  }
  DeleteFileW(record.c_str());
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_RECORD", nullptr);
  return all_right;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The mean with the fastest and the slowest fifth left out.
double TrimmedMean(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t cut = values.size() / 5;
  double sum = 0;
  for (size_t i = cut; i < values.size() - cut; ++i) sum += values[i];
  return sum / static_cast<double>(values.size() - 2 * cut);
}

void PrintRatio(const char* name, double value, double target) {
  std::printf("%-12s %6.3f", name, value);
  if (target > 0) std::printf("   target <= %.2f: %s", target, value <= target ? "met" : "MISSED");
  std::printf("\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int rounds = argc == 3 ? _wtoi(argv[1]) : 0;
  if (rounds < 5) {
    std::fprintf(stderr, "usage: rounds ROUNDS(>=5) FOLDER\n");
    return 2;
  }
  const std::wstring folder = wine_test::WindowsPath(argv[2]);
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  std::vector<Program> programs = {
      {"A FlashGate", L"\"" + folder + L"\\FlashGate.exe\"", true, {}},
      {"B reference", L"\"" + folder + L"\\reference_wbem.exe\"", true, {}},
      {"C VBScript",
       L"\"" + std::wstring(system) + L"\\cscript.exe\" //nologo job.vbs " + wine_test::kToolFile,
       true, {}},
      {"D do-nothing", L"\"" + folder + L"\\do_nothing.exe\"", false, {}},
  };
  SetEnvironmentVariableW(L"FLASHGATE_STANDIN_SECONDS", L"0");
  if (!WarmUpAndCheck(programs, folder)) return 1;

  // Each round starts one program further on (A B C D, B C D A, ...), so that no program
  // always follows the same one.
  for (int round = 0; round < rounds; ++round) {
    for (size_t turn = 0; turn < programs.size(); ++turn) {
      Program& program = programs[(round + turn) % programs.size()];
      const double elapsed = TimeOneRun(program, folder);
      if (elapsed < 0) {
        std::printf("%s: failed in round %d\n", program.label, round + 1);
        return 1;
      }
      program.milliseconds.push_back(elapsed);
    }
  }

  std::printf("%d rounds of A B C D in turn after one warm-up round; milliseconds from start "
              "to end\n", rounds);
  std::printf("%-14s %9s %14s %9s %9s\n", "", "median", "trimmed mean", "fastest", "slowest");
  double mean[4];
  for (size_t i = 0; i < programs.size(); ++i) {
    const std::vector<double>& times = programs[i].milliseconds;
    mean[i] = TrimmedMean(times);
    std::printf("%-14s %9.1f %14.1f %9.1f %9.1f\n", programs[i].label, Median(times), mean[i],
                *std::min_element(times.begin(), times.end()),
                *std::max_element(times.begin(), times.end()));
  }
  std::printf("ratios of the trimmed means:\n");
  PrintRatio("A/B", mean[0] / mean[1], 1.07);
  PrintRatio("A/C", mean[0] / mean[2], 0.80);
  PrintRatio("(A-D)/(B-D)", (mean[0] - mean[3]) / (mean[1] - mean[3]), 0);
  return 0;
}
