#include "message_box.h"

#include "program_run.h"

namespace wine_test {
namespace {

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

// The pixels of a bitmap of `area`'s size once `draw(canvas, screen)` has painted it.
template <typename Draw>
std::vector<COLORREF> PixelsOf(const RECT& area, Draw draw) {
  HDC screen = GetDC(nullptr);
  HDC canvas = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, area.right, area.bottom);
  HGDIOBJ previous = SelectObject(canvas, bitmap);
  draw(canvas, screen);
  std::vector<COLORREF> pixels;
  for (int row = 0; row < area.bottom; ++row) {
    for (int column = 0; column < area.right; ++column) {
      pixels.push_back(GetPixel(canvas, column, row));
    }
  }
  SelectObject(canvas, previous);
  DeleteObject(bitmap);
  DeleteDC(canvas);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// Icon handles belong to the process that loaded them, so the icon is judged by what the
// control shows on the screen: it must be the system icon, pixel for pixel, drawn as an
// icon control draws it (at the control's size, over its background). A box just shown
// may not have painted yet, so the screen is looked at until it matches or `patience_ms`
// has passed.
bool ShowsSystemIcon(HWND icon_control, LPCWSTR system_icon, DWORD patience_ms) {
  return WaitUntil(patience_ms, 50, [&] {
    RECT area;
    GetClientRect(icon_control, &area);
    POINT origin = {0, 0};
    ClientToScreen(icon_control, &origin);
    const std::vector<COLORREF> shown = PixelsOf(area, [&](HDC canvas, HDC screen) {
      BitBlt(canvas, 0, 0, area.right, area.bottom, screen, origin.x, origin.y, SRCCOPY);
    });
    // The icon's corners are transparent, so its top-left pixel is the background.
    const std::vector<COLORREF> expected = PixelsOf(area, [&](HDC canvas, HDC) {
      HBRUSH fill = CreateSolidBrush(shown.empty() ? 0 : shown.front());
      FillRect(canvas, &area, fill);
      DeleteObject(fill);
      DrawIconEx(canvas, 0, 0, LoadIconW(nullptr, system_icon), 0, 0, 0, nullptr, DI_NORMAL);
    });
    return !shown.empty() && shown == expected;
  });
}

}  // namespace

Box ReadBox(HWND window) {
  Box box;
  box.window = window;
  box.caption = TextOf(window);
  box.owner = GetWindow(window, GW_OWNER);
  box.default_button_id = LOWORD(SendMessageW(window, DM_GETDEFID, 0, 0));
  for (HWND child = FindWindowExW(window, nullptr, nullptr, nullptr); child != nullptr;
       child = FindWindowExW(window, child, nullptr, nullptr)) {
    if (!IsWindowVisible(child)) continue;
    wchar_t kind[64] = {};
    GetClassNameW(child, kind, 64);
    const bool is_static = lstrcmpiW(kind, L"Static") == 0;
    if (lstrcmpiW(kind, L"Button") == 0) {
      box.buttons.push_back(TextOf(child));
    } else if (is_static && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      box.exclamation_icon = ShowsSystemIcon(child, IDI_EXCLAMATION, 3000);
    } else if (is_static && !TextOf(child).empty()) {
      box.text = TextOf(child);
    }
  }
  return box;
}

void Close(const Box& box, CloseBy way) {
  HWND ok = GetDlgItem(box.window, IDOK);
  switch (way) {
    case CloseBy::Ok:
      PostMessageW(ok, BM_CLICK, 0, 0);
      break;
    case CloseBy::Escape:
      // The key goes where the keyboard focus is: the box's one button.
      PostMessageW(ok, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
      PostMessageW(ok, WM_KEYUP, VK_ESCAPE, 0xC0010001);
      break;
    case CloseBy::CloseCommand:
      PostMessageW(box.window, WM_SYSCOMMAND, SC_CLOSE, 0);
      break;
  }
}

}  // namespace wine_test
