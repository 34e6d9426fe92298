#include "textfile/posix/paths.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>

#include "textfile/platform.h"
#include "textfile/posix/descriptor.h"
#include "textfile/posix/file_status.h"

namespace textfile::posix {

std::string last_component(const std::string& path) {
  return path.substr(last_component_start(path));
}

std::string folder_of(const std::string& path) {
  std::size_t name_start = last_component_start(path);
  if (name_start == 0) return ".";
  if (name_start == 1) return "/";
  return path.substr(0, name_start - 1);
}

// A path too long for one system call is followed a piece at a time: each piece, shorter than
// the system's limit, is opened from the folder the pieces before it led to, so links and ".."
// resolve exactly as they would in the whole path. Gives the folder to look `name` up from.
int folder_for_long_path(const std::string& path, std::string& name) {
  Descriptor folder(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string rest = path;
  while (folder.get() >= 0 && rest.size() >= PATH_MAX) {
    std::string::size_type cut = rest.rfind('/', PATH_MAX - 1);
    if (cut == std::string::npos || cut == 0) {
      errno = ENAMETOOLONG;
      return -1;
    }
    folder.reset(
        ::openat(folder.get(), rest.substr(0, cut).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    rest.erase(0, cut + 1);
  }
  name = rest;
  return folder.release();
}

// Opens the folder that holds `path`, however long the path, with `flags`; `name` is the
// file's name in it. Names made beside a file are reached from there, so that a name a little
// longer than the file's own is still in reach.
int open_folder_of(const std::string& path, std::string& name, int flags) {
  std::string rest = path;
  Descriptor start;
  int from = AT_FDCWD;
  if (path.size() >= PATH_MAX) {
    start.reset(folder_for_long_path(path, rest));
    if (start.get() < 0) return -1;
    from = start.get();
  }
  name = last_component(rest);
  const std::string folder = folder_of(rest);
  Descriptor opened(::openat(from, folder.c_str(), flags | O_DIRECTORY | O_CLOEXEC));
  // Over NFS a folder another host removed and made anew is found by what this host remembers of
  // the path, and every look into it fails as stale. A look by the path itself, found stale,
  // makes the system look the path up again at the server: opened again, it leads to the folder
  // there is now.
  struct statx status;
  if (opened.get() >= 0 && status_of(opened.get(), "", AT_STATX_FORCE_SYNC, status) == ESTALE) {
    status_of(from, folder, AT_STATX_FORCE_SYNC, status);
    opened.reset(::openat(from, folder.c_str(), flags | O_DIRECTORY | O_CLOEXEC));
  }
  return opened.release();
}

std::string beside(const std::string& path, const std::string& name) {
  return path.substr(0, last_component_start(path)) + name;
}

}  // namespace textfile::posix
