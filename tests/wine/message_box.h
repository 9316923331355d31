#pragma once

// The warning box as a user meets it: what it shows, and the ways to close it.

#include <windows.h>

#include <string>
#include <vector>

namespace wine_test {

struct Box {
  HWND window = nullptr;
  std::wstring caption;
  std::wstring text;
  bool exclamation_icon = false;
  std::vector<std::wstring> buttons;  // the visible ones, by their text
  int default_button_id = 0;
  HWND owner = nullptr;
};

Box ReadBox(HWND window);

enum class CloseBy { Ok, Escape, CloseCommand };
void Close(const Box& box, CloseBy way);

}  // namespace wine_test
