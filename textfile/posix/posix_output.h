#pragma once

#include <memory>
#include <string>

#include "textfile/file_system.h"

namespace textfile::posix {

// Opens, creating it when missing, and locks an output: the main output where `main_output` is
// null, else the split output beside it. Refuses the run's own files, and a link at the path.
std::unique_ptr<WritableFile> open_output(const std::string& path, int flags,
                                          const char* what_failed, const FileIdentity& input,
                                          const FileIdentity* main_output);

// Writes `content` into the new file open at `fd`, syncs and closes it.
void write_and_close(int fd, const std::string& path, const std::string& content);

}  // namespace textfile::posix
