#pragma once

// The folders the tests make, and the paths they are given.

#include <windows.h>

#include <map>
#include <string>

namespace wine_test {

// A path given the Unix way (/tmp/x) is reached through Wine's Z: drive.
std::wstring WindowsPath(const std::wstring& path);

// Whether two Windows paths name the same file, letter case aside.
inline bool SamePath(const std::wstring& a, const std::wstring& b) {
  return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

// A fresh, empty folder under the temporary folder; `name` may hold any letters.
std::wstring MakeFolder(const std::wstring& name);
void RemoveFolder(const std::wstring& folder);
// File names and sizes in a folder, to tell whether anything was written there.
std::map<std::wstring, ULONGLONG> ListFolder(const std::wstring& folder);

}  // namespace wine_test
