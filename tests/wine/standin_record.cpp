#include "standin_record.h"

#include <sstream>

#include "program_run.h"

namespace wine_test {
namespace {

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
  visit(L"error_mode", record.error_mode);
}

void FromText(const std::wstring& text, std::wstring& field) { field = text; }
template <typename Number>
void FromText(const std::wstring& text, Number& field) { std::wistringstream(text) >> field; }

// Fills `record` from the file at `path`; true once every field is there, in order. The file
// is shared with every other handle: the stand-in renames its finished record into place,
// and its handle to the file (opened for the rename, so for deletion) may still be open for
// a moment after the name appears. An open that does not share deletion fails then.
bool ReadRecord(const std::wstring& path, StandInRecord& record) {
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
  std::wistringstream lines(Wide(bytes));
  bool whole = ok;
  ForEachField(record, [&](const wchar_t* key, auto& field) {
    const std::wstring start = key + std::wstring(L"=");
    std::wstring line;
    whole = whole && std::getline(lines, line) && line.compare(0, start.size(), start) == 0;
    if (whole) FromText(line.substr(start.size()), field);
  });
  return whole;
}

}  // namespace

std::wstring RecordText(const StandInRecord& record) {
  std::wostringstream text;
  ForEachField(record, [&](const wchar_t* key, const auto& field) {
    text << key << L'=' << field << L'\n';
  });
  return text.str();
}

bool WriteRecord(const std::wstring& path, const StandInRecord& record) {
  const std::string bytes = Utf8(RecordText(record));
  const std::wstring part = path + L".part";
  HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(bytes.size());
  const BOOL ok = WriteFile(file, bytes.data(), size, &written, nullptr);
  CloseHandle(file);
  return ok && written == size &&
         MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

StandInRecord WaitForRecord(const std::wstring& path, DWORD timeout_ms) {
  StandInRecord record;
  record.found = WaitUntil(timeout_ms, 20, [&] { return ReadRecord(path, record); });
  return record.found ? record : StandInRecord();
}

std::string Utf8(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  std::string bytes(text.size() * 3, '\0');  // three bytes at most a UTF-16 unit
  bytes.resize(static_cast<size_t>(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &bytes[0], size * 3, nullptr, nullptr)));
  return bytes;
}

std::wstring Wide(const std::string& bytes) {
  const int size = static_cast<int>(bytes.size());
  std::wstring text(bytes.size(), L'\0');
  text.resize(
      static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, &text[0], size)));
  return text;
}

}  // namespace wine_test
