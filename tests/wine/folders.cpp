#include "folders.h"

#include <cwchar>

namespace wine_test {

std::wstring WindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring windows = L"Z:" + path;
  for (wchar_t& unit : windows) {
    if (unit == L'/') unit = L'\\';
  }
  return windows;
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
  if (folder.empty()) return;  // from a MakeFolder that failed; "\\*" is the drive's root
  for (const auto& entry : ListFolder(folder)) DeleteFileW((folder + L"\\" + entry.first).c_str());
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

}  // namespace wine_test
