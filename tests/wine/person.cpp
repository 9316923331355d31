#include "person.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace person {

DWORD Scaled(DWORD ms) {
  wchar_t text[16] = {};
  const DWORD length = GetEnvironmentVariableW(L"FLASHGATE_TIME_SCALE", text, 16);
  const unsigned long scale = length > 0 && length < 16 ? std::wcstoul(text, nullptr, 10) : 1;
  return scale > 1 && scale < 1000 ? ms * static_cast<DWORD>(scale) : ms;
}

std::wstring WindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring windows = L"Z:" + path;
  for (wchar_t& unit : windows) {
    if (unit == L'/') unit = L'\\';
  }
  return windows;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

std::wstring MakeFolder(const std::wstring& name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  for (unsigned attempt = 0;; ++attempt) {
    wchar_t suffix[32];
    swprintf(suffix, 32, L"-%lu-%u", GetCurrentProcessId(), attempt);
    const std::wstring folder = std::wstring(temp) + name + suffix;
    if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
  }
}

void RemoveFolder(const std::wstring& folder) {
  for (const auto& entry : ListFolder(folder)) {
    DeleteFileW((folder + L"\\" + entry.first).c_str());
  }
  RemoveDirectoryW(folder.c_str());
}

std::map<std::wstring, ULONGLONG> ListFolder(const std::wstring& folder) {
  std::map<std::wstring, ULONGLONG> files;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    files[name] = (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return files;
}

namespace {

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// Every pixel of a device context's `width` x `height` area from (`x`, `y`).
std::vector<COLORREF> PixelsOf(HDC source, int x, int y, int width, int height) {
  HDC canvas = CreateCompatibleDC(source);
  HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
  HGDIOBJ previous = SelectObject(canvas, bitmap);
  BitBlt(canvas, 0, 0, width, height, source, x, y, SRCCOPY);
  std::vector<COLORREF> pixels;
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) pixels.push_back(GetPixel(canvas, column, row));
  }
  SelectObject(canvas, previous);
  DeleteObject(bitmap);
  DeleteDC(canvas);
  return pixels;
}

// What a window shows on the screen, copied in one go.
std::vector<COLORREF> CaptureScreenOf(HWND window, int& width, int& height) {
  RECT area;
  GetClientRect(window, &area);
  width = area.right;
  height = area.bottom;
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  HDC screen = GetDC(nullptr);
  std::vector<COLORREF> pixels = PixelsOf(screen, origin.x, origin.y, width, height);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// A system icon drawn as an icon control draws it: at the control's size, over `background`.
std::vector<COLORREF> Render(LPCWSTR system_icon, int width, int height, COLORREF background) {
  HDC screen = GetDC(nullptr);
  HDC canvas = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(canvas, bitmap);
  HBRUSH fill = CreateSolidBrush(background);
  RECT all = {0, 0, width, height};
  FillRect(canvas, &all, fill);
  DeleteObject(fill);
  DrawIconEx(canvas, 0, 0, LoadIconW(nullptr, system_icon), 0, 0, 0, nullptr, DI_NORMAL);
  std::vector<COLORREF> pixels = PixelsOf(canvas, 0, 0, width, height);
  SelectObject(canvas, previous);
  DeleteObject(bitmap);
  DeleteDC(canvas);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// Icon handles belong to the process that loaded them, so the icon is judged by what the
// control shows on the screen: it must be the exclamation icon, pixel for pixel. A box
// just shown may not have painted yet, so the screen is looked at until it matches or
// `patience_ms` has passed.
bool ShowsSystemIcon(HWND icon_control, LPCWSTR system_icon, DWORD patience_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    int width = 0;
    int height = 0;
    const std::vector<COLORREF> shown = CaptureScreenOf(icon_control, width, height);
    // The icon's corners are transparent, so its top-left pixel is the background.
    if (!shown.empty() && shown == Render(system_icon, width, height, shown.front())) return true;
    if (GetTickCount() - start > patience_ms) return false;
    Sleep(50);
  }
}

BOOL CALLBACK CollectChild(HWND child, LPARAM into) {
  reinterpret_cast<std::vector<HWND>*>(into)->push_back(child);
  return TRUE;
}

}  // namespace

Box ReadBox(HWND window) {
  Box box;
  box.window = window;
  box.caption = TextOf(window);
  box.owner = GetWindow(window, GW_OWNER);
  box.default_button_id = LOWORD(SendMessageW(window, DM_GETDEFID, 0, 0));
  std::vector<HWND> children;
  EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    if (!IsWindowVisible(child)) continue;
    const std::wstring kind = ClassOf(child);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (lstrcmpiW(kind.c_str(), L"Button") == 0) {
      box.buttons.push_back(TextOf(child));
    } else if (lstrcmpiW(kind.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
      box.exclamation_icon = ShowsSystemIcon(child, IDI_EXCLAMATION, Scaled(3000));
    } else if (lstrcmpiW(kind.c_str(), L"Static") == 0 && !TextOf(child).empty()) {
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

ProgramRun::~ProgramRun() {
  if (process_.hProcess != nullptr) {
    if (!HasExited()) TerminateProcess(process_.hProcess, 1);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  if (output_read_ != nullptr) CloseHandle(output_read_);
  if (output_write_ != nullptr) CloseHandle(output_write_);
}

bool ProgramRun::Start(const std::wstring& program, const std::wstring& current_folder) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  if (!CreatePipe(&output_read_, &output_write_, &inheritable, 1 << 16)) return false;
  SetHandleInformation(output_read_, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output_write_;
  startup.hStdError = output_write_;
  std::wstring command_line = L"\"" + program + L"\"";
  const BOOL started =
      CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                     current_folder.empty() ? nullptr : current_folder.c_str(), &startup,
                     &process_);
  // Only the child keeps a writing end, so reading ends when it does.
  CloseHandle(output_write_);
  output_write_ = nullptr;
  return started != FALSE;
}

bool ProgramRun::HasExited() const {
  return WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0;
}

bool ProgramRun::WaitForExit(DWORD timeout_ms) {
  return WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0;
}

namespace {

struct WindowSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectVisibleWindowOf(HWND window, LPARAM search_address) {
  auto* search = reinterpret_cast<WindowSearch*>(search_address);
  DWORD owner_pid = 0;
  GetWindowThreadProcessId(window, &owner_pid);
  if (owner_pid == search->pid && IsWindowVisible(window)) search->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> ProgramRun::VisibleWindows() const {
  WindowSearch search = {process_.dwProcessId, {}};
  EnumWindows(CollectVisibleWindowOf, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND ProgramRun::WaitForWindowOrExit(DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    const std::vector<HWND> windows = VisibleWindows();
    if (!windows.empty()) return windows.front();
    if (HasExited() || GetTickCount() - start > timeout_ms) return nullptr;
    Sleep(10);
  }
}

std::string ProgramRun::Output() {
  std::string output;
  char buffer[4096];
  DWORD available = 0;
  while (PeekNamedPipe(output_read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    DWORD read = 0;
    if (!ReadFile(output_read_, buffer, sizeof(buffer), &read, nullptr) || read == 0) break;
    output.append(buffer, read);
  }
  return output;
}

namespace {

// Reads the whole file, sharing it with every other handle: the stand-in renames its
// finished record into place, and its handle to the file (opened for the rename, so for
// deletion) may still be open for a moment after the name appears. An open that does not
// share deletion fails then.
bool ReadUtf8File(const std::wstring& path, std::wstring& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  char buffer[1024];
  DWORD read = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof(buffer), &read, nullptr) != 0) && read > 0) {
    bytes.append(buffer, read);
  }
  CloseHandle(file);
  if (!ok) return false;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  text.assign(bytes.size(), L'\0');
  const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                         &text[0], static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(length > 0 ? length : 0));
  return true;
}

// Fills `record` from the record's text; true once every key is there.
bool ParseRecord(const std::wstring& text, StandInRecord& record) {
  int keys = 0;
  size_t line_start = 0;
  while (line_start < text.size()) {
    size_t line_end = text.find(L'\n', line_start);
    if (line_end == std::wstring::npos) line_end = text.size();
    std::wstring line = text.substr(line_start, line_end - line_start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    line_start = line_end + 1;
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) continue;
    const std::wstring key = line.substr(0, equals);
    const std::wstring value = line.substr(equals + 1);
    ++keys;
    if (key == L"command_line") record.command_line = value;
    else if (key == L"uses_show_state") record.uses_show_state = _wtoi(value.c_str());
    else if (key == L"show_state") record.show_state = _wtoi(value.c_str());
    else if (key == L"module") record.module = value;
    else if (key == L"current_folder") record.current_folder = value;
    else if (key == L"pid") record.pid = wcstoul(value.c_str(), nullptr, 10);
    else if (key == L"foreground") record.foreground = _wtoi(value.c_str());
    else if (key == L"error_mode") record.error_mode = _wtoi64(value.c_str());
    else --keys;
  }
  return keys == 8;
}

}  // namespace

StandInRecord WaitForRecord(const std::wstring& path, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    StandInRecord record;
    std::wstring text;
    if (ReadUtf8File(path, text) && ParseRecord(text, record)) {
      record.found = true;
      return record;
    }
    if (GetTickCount() - start >= timeout_ms) return StandInRecord();
    Sleep(20);
  }
}

bool ProcessIsRunning(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

int WaitForProcessesNamed(const wchar_t* file_name, DWORD timeout_ms) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD start = GetTickCount();
  int still_running = 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, file_name) != 0) continue;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    const DWORD waited = GetTickCount() - start;
    const DWORD left = waited < timeout_ms ? timeout_ms - waited : 0;
    if (WaitForSingleObject(process, left) == WAIT_TIMEOUT) ++still_running;
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return still_running;
}

}  // namespace person
