#include "textfile/windows/paths.h"

#include "textfile/windows/windows_text.h"

namespace textfile::windows {

std::wstring full_path(const std::wstring& path) {
  DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  for (;;) {
    if (size == 0) return std::wstring();
    std::wstring full(size, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    if (length < size) {
      full.resize(length);
      return full;
    }
    size = length;  // the current folder changed in between
  }
}

// A full path as the system takes it verbatim, whatever its length: after `prefix`, "\\?\" for
// the functions of Windows, "\??\" for those of its kernel. A device path (\\.\) names the
// same thing verbatim, as \\server\share does as UNC\server\share.
std::wstring verbatim_path(const std::wstring& full, const wchar_t* prefix) {
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) {
    return prefix + full.substr(4);
  }
  if (full.compare(0, 2, L"\\\\") == 0) return prefix + (L"UNC\\" + full.substr(2));
  return prefix + full;
}

// The path to hand to the system for `path`. Windows takes at most MAX_PATH - 1 characters in a
// path (more only where the machine allows long paths and the manifest asks for them), except
// in the verbatim form, which it passes to the file system untouched. A longer path is made
// absolute, as the system itself would make it, and handed over in that form: it names the same
// file. Shorter paths and verbatim ones go as they are, and so does one the system cannot make
// absolute, for the system to refuse with its own error. The rules and the report keep the
// path as the user gave it: only what the system is given changes.
std::wstring system_path(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
  // A short relative path is long too when the current folder is.
  std::wstring full = full_path(path);
  if (full.empty() || (path.size() < MAX_PATH && full.size() < MAX_PATH)) return path;
  return verbatim_path(full, L"\\\\?\\");
}

std::wstring system_path(const std::string& path) { return system_path(to_wide(path)); }

// The path of an open file or folder as the system itself names it, links resolved and short
// names spelled out; empty when it cannot tell.
std::wstring final_path_of(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = ::GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                               FILE_NAME_NORMALIZED);
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);
  }
}

bool same_path(const std::wstring& one, const std::wstring& other) {
  return ::CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// The last component of `path` as the file itself, not what it leads to.
HANDLE open_name_itself(const std::wstring& path, DWORD access, DWORD share) {
  return ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace textfile::windows
