#include "message_box.h"

#include "program_run.h"

namespace wine_test {
namespace {

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

// A bitmap to draw on or copy into, and its pixels.
class Canvas {
 public:
  Canvas(int width, int height) : width_(width), height_(height) {
    screen_ = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen_);
    bitmap_ = CreateCompatibleBitmap(screen_, width, height);
    previous_ = SelectObject(dc_, bitmap_);
  }
  ~Canvas() {
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
    ReleaseDC(nullptr, screen_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return dc_; }
  HDC screen() const { return screen_; }
  std::vector<COLORREF> Pixels() const {
    std::vector<COLORREF> pixels;
    for (int row = 0; row < height_; ++row) {
      for (int column = 0; column < width_; ++column) pixels.push_back(GetPixel(dc_, column, row));
    }
    return pixels;
  }

 private:
  int width_;
  int height_;
  HDC screen_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ previous_;
};

// Icon handles belong to the process that loaded them, so the icon is judged by what the
// control shows on the screen: it must be the system icon, pixel for pixel, drawn as an
// icon control draws it (at the control's size, over its background). A box just shown
// may not have painted yet, so the screen is looked at until it matches or `patience_ms`
// has passed.
bool ShowsSystemIcon(HWND icon_control, LPCWSTR system_icon, DWORD patience_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    RECT area;
    GetClientRect(icon_control, &area);
    POINT origin = {0, 0};
    ClientToScreen(icon_control, &origin);
    Canvas shown(area.right, area.bottom);
    BitBlt(shown.dc(), 0, 0, area.right, area.bottom, shown.screen(), origin.x, origin.y, SRCCOPY);
    const std::vector<COLORREF> pixels = shown.Pixels();
    if (!pixels.empty()) {
      Canvas expected(area.right, area.bottom);
      // The icon's corners are transparent, so its top-left pixel is the background.
      HBRUSH fill = CreateSolidBrush(pixels.front());
      FillRect(expected.dc(), &area, fill);
      DeleteObject(fill);
      DrawIconEx(expected.dc(), 0, 0, LoadIconW(nullptr, system_icon), 0, 0, 0, nullptr, DI_NORMAL);
      if (pixels == expected.Pixels()) return true;
    }
    if (GetTickCount() - start > patience_ms) return false;
    Sleep(50);
  }
}

}  // namespace

Box ReadBox(HWND window) {
  Box box;
  box.window = window;
  box.caption = TextOf(window);
  box.owner = GetWindow(window, GW_OWNER);
  box.default_button_id = LOWORD(SendMessageW(window, DM_GETDEFID, 0, 0));
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsWindowVisible(child)) continue;
    wchar_t kind[64] = {};
    GetClassNameW(child, kind, 64);
    const bool is_static = lstrcmpiW(kind, L"Static") == 0;
    if (lstrcmpiW(kind, L"Button") == 0) {
      box.buttons.push_back(TextOf(child));
    } else if (is_static && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      box.exclamation_icon = ShowsSystemIcon(child, IDI_EXCLAMATION, Scaled(3000));
    } else if (is_static && !TextOf(child).empty()) {
      box.text = TextOf(child);
    }
  }
  return box;
}

const wchar_t* NameOf(CloseBy way) {
  switch (way) {
    case CloseBy::Ok: return L"OK";
    case CloseBy::Escape: return L"Escape";
    case CloseBy::CloseCommand: return L"the close command";
  }
  return L"?";
}

bool ParseCloseBy(const std::wstring& name, CloseBy& way) {
  if (name == L"ok") way = CloseBy::Ok;
  else if (name == L"escape") way = CloseBy::Escape;
  else if (name == L"close") way = CloseBy::CloseCommand;
  else return false;
  return true;
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
