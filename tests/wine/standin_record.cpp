#include "standin_record.h"

#include "program_run.h"

namespace wine_test {
namespace {

constexpr wchar_t kSection[] = L"standin";

// Every field with its key, in the order written: visit(key, field).
template <typename Record, typename Visit>
void ForEachField(Record& record, Visit visit) {
  visit(L"command_line", record.command_line);
  visit(L"uses_show_state", record.uses_show_state);
  visit(L"show_state", record.show_state);
  visit(L"module", record.module);
  visit(L"current_folder", record.current_folder);
  visit(L"pid", record.pid);
  visit(L"foreground", record.foreground);
}

// The profile API drops one pair of quotes around a value, and the spaces at its ends, as
// it reads it: a text written inside quotes comes back as it was, quotes of its own included.
std::wstring Quoted(const std::wstring& field) { return L"\"" + field + L"\""; }
template <typename Number>
std::wstring Quoted(Number field) { return std::to_wstring(field); }

void Read(const std::wstring& path, const wchar_t* key, std::wstring& field) {
  std::wstring value(32768, L'\0');  // longer than any path
  value.resize(GetPrivateProfileStringW(kSection, key, L"", &value[0],
                                        static_cast<DWORD>(value.size()), path.c_str()));
  field = value;
}
template <typename Number>
void Read(const std::wstring& path, const wchar_t* key, Number& field) {
  field = static_cast<Number>(GetPrivateProfileIntW(kSection, key, -1, path.c_str()));
}

}  // namespace

bool WriteRecord(const std::wstring& path, const StandInRecord& record) {
  const std::wstring part = path + L".part";
  HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const wchar_t byte_order_mark = 0xFEFF;
  DWORD written = 0;
  const BOOL marked = WriteFile(file, &byte_order_mark, sizeof(byte_order_mark), &written, nullptr);
  CloseHandle(file);
  bool ok = marked && written == sizeof(byte_order_mark);
  ForEachField(record, [&](const wchar_t* key, const auto& field) {
    ok = ok && WritePrivateProfileStringW(kSection, key, Quoted(field).c_str(), part.c_str());
  });
  return ok && MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

StandInRecord WaitForRecord(const std::wstring& path, DWORD timeout_ms) {
  StandInRecord record;
  // The file appears whole, by its rename, and every record has a process id.
  record.found = WaitUntil(timeout_ms, 20, [&] {
    Read(path, L"pid", record.pid);
    return record.pid != 0 && record.pid != static_cast<DWORD>(-1);
  });
  if (!record.found) return StandInRecord();
  ForEachField(record, [&](const wchar_t* key, auto& field) { Read(path, key, field); });
  return record;
}

}  // namespace wine_test
