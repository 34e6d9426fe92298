#pragma once

#include <memory>
#include <string>

#include "textfile/file_system.h"

namespace textfile::posix {

// Opens the input and takes its lock and lease (FileSystem::open_input).
std::unique_ptr<ReadableFile> open_input(const std::string& path);

}  // namespace textfile::posix
