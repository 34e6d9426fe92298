#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "textfile/file_system.h"

namespace textfile::windows {

// Opens, creating it when missing, and locks an output: the main output where `main_output` is
// null, else the split output, placed at its end. Refuses the run's own files, and a link at the
// path.
std::unique_ptr<WritableFile> open_output(const std::string& path, const char* what_failed,
                                          const FileIdentity& input,
                                          const FileIdentity* main_output);

// Writes `content` into the new file open at `handle`, syncs and closes it.
void write_and_close(HANDLE handle, const std::string& path, const std::string& content);

}  // namespace textfile::windows
