#pragma once

#include <string>

// Paths of the POSIX layer, of any length.
namespace textfile::posix {

// The file's own name in `path`, and the folder that holds it ("." for a bare name).
std::string last_component(const std::string& path);
std::string folder_of(const std::string& path);

// A path too long for one system call, followed a piece at a time: gives the folder to look
// `name` up from, or -1 (errno set).
int folder_for_long_path(const std::string& path, std::string& name);

// Opens the folder that holds `path`, however long the path, with `flags`; `name` is the
// file's name in it. Gives -1 where it cannot (errno set).
int open_folder_of(const std::string& path, std::string& name, int flags);

// The path of `name` in the folder that holds `path`.
std::string beside(const std::string& path, const std::string& name);

}  // namespace textfile::posix
