#pragma once

#include <string>

#include "textfile/file_system.h"
#include "textfile/posix/descriptor.h"

namespace textfile::posix {

// The folder that holds a file, opened once, when the file is: every name made, checked or
// removed beside the file later is reached through it, never through the file's path resolved
// anew, which another user could point elsewhere meanwhile (a folder moved away and a link put
// in its place).
class HeldFolder {
 public:
  // Opens the folder that holds `path`, however long the path; fails as `what_failed`.
  HeldFolder(const std::string& path, const char* what_failed);

  int fd() const { return fd_.get(); }
  // The file's own name in the folder.
  const std::string& name() const { return name_; }
  // The path of `name` beside the file, as the file's path names it: for reports.
  std::string path_of(const std::string& name) const;
  // The folder's absolute path with its links taken out, followed by `name`.
  std::string real_path_of(const std::string& name) const;
  FileIdentity identity() const;

  // Makes the folder's entries durable; a failure names `path`.
  void sync(const std::string& path) const;
  // Removes `name` when it names the file `file`; a file of any other identity there stays.
  // Does nothing for a missing name; a failure names `path`.
  void remove_if_named(const std::string& name, const FileIdentity& file,
                       const std::string& path) const;

 private:
  Descriptor fd_;
  std::string name_;
  std::string path_;
};

// `path` as seen from anywhere: relative paths are taken from the current folder.
std::string absolute_path(const std::string& path);

}  // namespace textfile::posix
