// Prints the prefix that the real probe reads, so a test can compare it unit for unit:
// "prefix: 0034 0031", "prefix:" for empty text, "prefix: nothing" when nothing was read.

#include <windows.h>
#include <objbase.h>

#include <cstdio>

#include "startup/platform_ops.h"

int wmain() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const BoardPrefix prefix = ReadBoardPrefix();
  CoUninitialize();

  if (!prefix.HasValue()) {
    std::printf("prefix: nothing\n");
    return 0;
  }
  std::printf("prefix:");
  for (size_t i = 0; i < prefix.Length(); ++i) {
    std::printf(" %04x", static_cast<unsigned>(prefix[i]));
  }
  std::printf("\n");
  return 0;
}
