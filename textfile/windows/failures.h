#pragma once

#include <windows.h>

#include <string>

#include "textfile/file_failure.h"

// How the Windows layer names its failures.
namespace textfile::windows {

// The failure `error` (a system error code), with the system's text for it; the thread's last
// error.
FileFailure windows_failure(const std::string& what_failed, const std::string& path, DWORD error);
FileFailure last_failure(const std::string& what_failed, const std::string& path);
// The path no longer names the file converted.
FileFailure another_file(const std::string& path);
// A bookkeeping file that this program cannot be sure it wrote.
FileFailure untrusted(const std::string& path, const char* why);
// True for the errors that say a file or its folder does not exist.
bool is_missing(DWORD error);

}  // namespace textfile::windows
