#include "textfile/posix/held_folder.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "textfile/posix/file_status.h"
#include "textfile/posix/paths.h"

namespace textfile::posix {

HeldFolder::HeldFolder(const std::string& path, const char* what_failed) : path_(path) {
  // Readable where it may be, so that it can be synced; a folder this user may only pass
  // through is still held, and fails only where it must be synced.
  fd_.reset(open_folder_of(path, name_, O_RDONLY));
  if (fd_.get() < 0 && errno == EACCES) fd_.reset(open_folder_of(path, name_, O_PATH));
  if (fd_.get() < 0) throw posix_failure(what_failed, path, errno);
}

std::string HeldFolder::path_of(const std::string& name) const { return beside(path_, name); }

// What the system says of the open folder itself: it has no links and no "..", and it stays
// the folder the file was opened in. Where it cannot say (no /proc, a path longer than it
// tells), the path resolved by name, and last the path as given, made absolute: the folder's
// identity, kept beside it, still tells a later run whether it is the same folder.
std::string HeldFolder::real_path_of(const std::string& name) const {
  std::string link = "/proc/self/fd/" + std::to_string(fd_.get());
  std::vector<char> target(PATH_MAX + 1);
  ssize_t size = ::readlink(link.c_str(), target.data(), target.size());
  if (size > 0 && static_cast<std::size_t>(size) < target.size() && target[0] == '/') {
    std::string folder(target.data(), static_cast<std::size_t>(size));
    return folder == "/" ? "/" + name : folder + "/" + name;
  }
  std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(folder_of(path_).c_str(), nullptr), &std::free);
  if (resolved) {
    std::string folder = resolved.get();
    return folder == "/" ? "/" + name : folder + "/" + name;
  }
  return absolute_path(path_of(name));
}

FileIdentity HeldFolder::identity() const {
  struct statx status;
  if (status_of(fd_.get(), "", 0, status) != 0) return {};
  return identity_from(status, fd_.get());
}

void HeldFolder::sync(const std::string& path) const {
  if (::fsync(fd_.get()) == 0) return;
  int error = errno;
  if (error == EBADF) {
    // Held only to pass through: synced if it can be opened for that now.
    Descriptor readable(::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (readable.get() >= 0 && ::fsync(readable.get()) == 0) return;
    error = readable.get() < 0 ? errno : error;
  }
  throw posix_failure("cannot sync folder", path, error);
}

void HeldFolder::remove_if_named(const std::string& name, const FileIdentity& file,
                                 const std::string& path) const {
  struct statx status;
  if (int error = status_of(fd_.get(), name, AT_SYMLINK_NOFOLLOW, status)) {
    if (error == ENOENT) return;
    throw posix_failure("cannot delete", path, error);
  }
  if (!same_file(status, file)) return;
  if (::unlinkat(fd_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
    throw posix_failure("cannot delete", path, errno);
  }
}

std::string absolute_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::unique_ptr<char, decltype(&std::free)> current(::getcwd(nullptr, 0), &std::free);
  if (!current) throw posix_failure("cannot find the current folder of", path, errno);
  return std::string(current.get()) + "/" + path;
}

}  // namespace textfile::posix
