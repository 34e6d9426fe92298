#include "memory_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "textfile/file_failure.h"

namespace {

class MemoryInput : public textfile::ReadableFile {
 public:
  MemoryInput(MemoryFileSystem& files, std::string path)
      : files_(files),
        path_(std::move(path)),
        content_(files.content(path_)),
        identity_(files.identity(path_)) {}

  std::size_t read(char* into, std::size_t capacity) override {
    if (!files_.allow("cannot read", path_)) return 0;
    // Short reads, so that records and line ends fall across block boundaries.
    std::size_t count = std::min({capacity, content_.size() - offset_, std::size_t{1000}});
    std::memcpy(into, content_.data() + offset_, count);
    offset_ += count;
    return count;
  }
  textfile::FileIdentity identity() const override { return identity_; }
  void close() override {}

  // What was read, which must still be what the file holds when it is deleted.
  const std::string& content() const { return content_; }

 private:
  MemoryFileSystem& files_;
  std::string path_;
  std::string content_;
  std::size_t offset_ = 0;
  textfile::FileIdentity identity_;
};

class MemoryOutput : public textfile::WritableFile {
 public:
  MemoryOutput(MemoryFileSystem& files, std::string path, bool created)
      : files_(files), path_(std::move(path)), created_(created) {}

  void write(const char* bytes, std::size_t size) override {
    if (files_.allow("cannot write", path_)) file().content.append(bytes, size);
  }
  std::uint64_t size() const override { return files_.files.at(path_).content.size(); }
  void truncate(std::uint64_t length) override {
    if (files_.allow("cannot truncate", path_)) file().content.resize(length);
  }
  void sync() override { files_.allow("cannot sync", path_); }
  textfile::FileIdentity identity() const override { return files_.identity(path_); }
  bool created() const override { return created_; }
  void close() override {}

  int owner() const { return files_.files.at(path_).owner; }

 private:
  MemoryFileSystem::File& file() { return files_.files.at(path_); }

  MemoryFileSystem& files_;
  std::string path_;
  bool created_;
};

}  // namespace

void MemoryFileSystem::put(const std::string& path, const std::string& content) {
  File& file = files[path];
  file.content = content;
  if (file.index == 0) {
    file.index = next_index_++;
    file.incarnation = file.index;
  }
}

std::string MemoryFileSystem::content(const std::string& path) const {
  auto found = files.find(path);
  return found == files.end() ? std::string() : found->second.content;
}

bool MemoryFileSystem::allow(const char* what, const std::string& path) {
  if (crashed_) return false;
  if (++operations_ != fail_at_) return true;
  if (!crash_) throw textfile::FileFailure(what, path, EIO, "Input/output error");
  crashed_ = true;
  throw Crash();
}

bool MemoryFileSystem::is_convertible_file(const std::string& path) {
  auto found = files.find(path);
  return found != files.end() && !found->second.hidden;
}

std::unique_ptr<textfile::ReadableFile> MemoryFileSystem::open_input(const std::string& path) {
  allow("cannot open", path);
  if (!has(path)) return nullptr;
  return std::make_unique<MemoryInput>(*this, path);
}

std::unique_ptr<textfile::WritableFile> MemoryFileSystem::open_main_output(
    const std::string& path, const textfile::FileIdentity& input) {
  return open_output(path, false, input, nullptr);
}

std::unique_ptr<textfile::WritableFile> MemoryFileSystem::open_split_output(
    const std::string& path, const textfile::FileIdentity& input,
    const textfile::FileIdentity& main_output) {
  return open_output(path, true, input, &main_output);
}

std::unique_ptr<textfile::WritableFile> MemoryFileSystem::open_output(
    const std::string& path, bool append, const textfile::FileIdentity& input,
    const textfile::FileIdentity* main_output) {
  const char* what_failed = append ? "cannot append to" : "cannot create";
  bool created = false;
  if (allow(what_failed, path)) {
    if (has(path) && identity(path) == input) {
      throw textfile::FileFailure(what_failed, path, EINVAL, "is the input itself");
    }
    if (has(path) && main_output && identity(path) == *main_output) {
      throw textfile::FileFailure(what_failed, path, EINVAL, "is the main output too");
    }
    created = !has(path);
    if (created) put(path, "");
    if (!append) files[path].content.clear();
  }
  return std::make_unique<MemoryOutput>(*this, path, created);
}

void MemoryFileSystem::remove_input(textfile::ReadableFile& input, const std::string& path) {
  if (!allow("cannot delete", path)) return;
  if (!has(path) || input.identity() != identity(path)) {
    throw textfile::FileFailure("cannot delete", path, EIO, "replaced");
  }
  if (files[path].content != static_cast<MemoryInput&>(input).content()) {
    throw textfile::FileFailure("cannot convert", path, ESTALE, "changed while being converted");
  }
  files.erase(path);
}

void MemoryFileSystem::sync_folder_of(const std::string& path) {
  allow("cannot sync folder", path);
}

std::optional<textfile::FileIdentity> MemoryFileSystem::identity_of(const std::string& path) {
  auto error = lookup_errors.find(path);
  if (error != lookup_errors.end()) {
    throw textfile::FileFailure("cannot look up", path, error->second,
                                std::strerror(error->second));
  }
  if (!has(path)) return std::nullopt;
  return identity(path);
}

std::optional<std::string> MemoryFileSystem::read_trusted_file(
    const std::string& path, const textfile::WritableFile& beside) {
  if (!allow("cannot read", path) || !has(path)) return std::nullopt;
  const File& file = files[path];
  if (file.owner != 0 && file.owner != static_cast<const MemoryOutput&>(beside).owner()) {
    throw textfile::FileFailure("cannot trust", path, EPERM, "owned by another user");
  }
  if (file.writable_by_others) {
    throw textfile::FileFailure("cannot trust", path, EPERM, "writable by other users");
  }
  return content(path);
}

void MemoryFileSystem::write_small_file(const std::string& path, const std::string& content) {
  if (!allow("cannot create", path)) return;
  files.erase(path);  // a file made afresh, as the real layer's rename leaves it
  put(path, content);
}

void MemoryFileSystem::remove_file(const std::string& path) {
  if (allow("cannot delete", path)) files.erase(path);
}
