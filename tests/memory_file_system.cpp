#include "memory_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "textfile/file_failure.h"

namespace {

class MemoryInput : public textfile::ReadableFile {
 public:
  MemoryInput(MemoryFileSystem& files, std::string path, std::uint64_t index)
      : files_(files), path_(std::move(path)), content_(files.content(path_)), index_(index) {}

  std::size_t read(char* into, std::size_t capacity) override {
    if (!files_.allow("cannot read", path_)) return 0;
    // Short reads, so that records and line ends fall across block boundaries.
    std::size_t count = std::min({capacity, content_.size() - offset_, std::size_t{1000}});
    std::memcpy(into, content_.data() + offset_, count);
    offset_ += count;
    return count;
  }
  textfile::FileIdentity identity() const override { return {1, index_}; }
  void close() override {}

 private:
  MemoryFileSystem& files_;
  std::string path_;
  std::string content_;
  std::size_t offset_ = 0;
  std::uint64_t index_;
};

class MemoryOutput : public textfile::WritableFile {
 public:
  MemoryOutput(MemoryFileSystem& files, std::string path) : files_(files), path_(std::move(path)) {}

  void write(const char* bytes, std::size_t size) override {
    if (files_.allow("cannot write", path_)) file().content.append(bytes, size);
  }
  std::uint64_t size() const override { return files_.files.at(path_).content.size(); }
  void truncate(std::uint64_t length) override {
    if (files_.allow("cannot truncate", path_)) file().content.resize(length);
  }
  void sync() override { files_.allow("cannot sync", path_); }
  textfile::FileIdentity identity() const override { return {1, files_.files.at(path_).index}; }
  void close() override {}

 private:
  MemoryFileSystem::File& file() { return files_.files.at(path_); }

  MemoryFileSystem& files_;
  std::string path_;
};

}  // namespace

void MemoryFileSystem::put(const std::string& path, const std::string& content) {
  File& file = files[path];
  file.content = content;
  if (file.index == 0) file.index = next_index_++;
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
  return std::make_unique<MemoryInput>(*this, path, files.at(path).index);
}

std::unique_ptr<textfile::WritableFile> MemoryFileSystem::open_main_output(
    const std::string& path) {
  return open_output(path, false);
}

std::unique_ptr<textfile::WritableFile> MemoryFileSystem::open_split_output(
    const std::string& path) {
  return open_output(path, true);
}

std::unique_ptr<textfile::WritableFile> MemoryFileSystem::open_output(const std::string& path,
                                                                      bool append) {
  if (allow(append ? "cannot append to" : "cannot create", path)) {
    if (!has(path)) put(path, "");
    if (!append) files[path].content.clear();
  }
  return std::make_unique<MemoryOutput>(*this, path);
}

void MemoryFileSystem::remove_input(textfile::ReadableFile& input, const std::string& path) {
  if (!allow("cannot delete", path)) return;
  if (!has(path) || input.identity().index != files[path].index) {
    throw textfile::FileFailure("cannot delete", path, EIO, "replaced");
  }
  files.erase(path);
}

void MemoryFileSystem::sync_folder_of(const std::string& path) {
  allow("cannot sync folder", path);
}

std::optional<textfile::FileIdentity> MemoryFileSystem::identity_of(const std::string& path) {
  if (!has(path)) return std::nullopt;
  return textfile::FileIdentity{1, files[path].index};
}

std::optional<std::string> MemoryFileSystem::read_small_file(const std::string& path) {
  if (!allow("cannot read", path) || !has(path)) return std::nullopt;
  return content(path);
}

void MemoryFileSystem::write_small_file(const std::string& path, const std::string& content) {
  if (allow("cannot create", path)) put(path, content);
}

void MemoryFileSystem::remove_file(const std::string& path) {
  if (allow("cannot delete", path)) files.erase(path);
}
