// Times the board query inside one process: bringing COM up, the first call, which loads
// and sets up WMI, the warm calls after it, and taking COM down.
//
//   probe_timing script|locator [WARM_CALLS]
//
// "script" is the program's own probe (ReadBoardPrefix), "locator" the reference's query.

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "startup/platform_ops.h"
#include "stopwatch.h"
#include "wbem_query.h"

int main(int argc, char** argv) {
  if (argc < 2 || (std::strcmp(argv[1], "script") != 0 && std::strcmp(argv[1], "locator") != 0)) {
    std::fprintf(stderr, "usage: probe_timing script|locator [WARM_CALLS]\n");
    return 2;
  }
  BoardPrefix (*const query)() = std::strcmp(argv[1], "script") == 0
                                     ? ReadBoardPrefix
                                     : ReadBoardPrefixThroughLocator;
  const int warm_calls = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
  double start = NowMs();
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const double com_up_ms = NowMs() - start;

  start = NowMs();
  const BoardPrefix first = query();
  const double first_ms = NowMs() - start;

  std::vector<double> warm;
  for (int i = 0; i < warm_calls; ++i) {
    start = NowMs();
    const BoardPrefix again = query();
    warm.push_back(NowMs() - start);
    if (again.Length() != first.Length()) return 1;
  }
  std::sort(warm.begin(), warm.end());

  start = NowMs();
  CoUninitialize();
  const double com_down_ms = NowMs() - start;
  std::printf("%-8s COM up %5.2f ms   first query %6.2f ms   warm median %5.2f ms (%d calls)"
              "   COM down %5.2f ms\n",
              argv[1], com_up_ms, first_ms, warm[warm.size() / 2], warm_calls, com_down_ms);
  return first.HasValue() ? 0 : 1;
}
