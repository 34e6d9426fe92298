#pragma once

#include <windows.h>

#include <string>

// Paths as the system takes them: whole, of any length, and compared as it compares them.
namespace textfile::windows {

// The full path of `path`, or empty where the system cannot tell it.
std::wstring full_path(const std::wstring& path);
// A full path in the verbatim form the system passes on unchanged, behind `prefix`.
std::wstring verbatim_path(const std::wstring& full, const wchar_t* prefix);
// `path` as CreateFileW and its kin take it, however long.
std::wstring system_path(const std::wstring& path);
std::wstring system_path(const std::string& path);
// The path the system has for the open file, or empty.
std::wstring final_path_of(HANDLE handle);
// Whether two paths name the same entry, as the system compares names.
bool same_path(const std::wstring& one, const std::wstring& other);
// Opens the link at `path` itself, not what it leads to.
HANDLE open_name_itself(const std::wstring& path, DWORD access, DWORD share);

}  // namespace textfile::windows
