#pragma once

#include <memory>
#include <string>

#include "textfile/file_system.h"

namespace textfile::windows {

// Opens the input, holding it against other runs and writers (FileSystem::open_input); nothing
// where another run has converted it since it was found.
std::unique_ptr<ReadableFile> open_input(const std::string& path);

}  // namespace textfile::windows
