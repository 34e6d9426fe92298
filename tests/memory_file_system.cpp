#include "memory_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>

#include "textfile/failure_texts.h"
#include "textfile/file_failure.h"

namespace {

using File = MemoryFileSystem::File;

std::string folder_of(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The same file as far as its number tells, as the real layers compare a name with a file.
bool same_number(const textfile::FileIdentity& a, const textfile::FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

class MemoryInput : public textfile::ReadableFile {
 public:
  MemoryInput(MemoryFileSystem& files, std::string path, std::shared_ptr<File> file)
      : files_(files), path_(std::move(path)), file_(std::move(file)), content_(file_->content) {}

  std::size_t read(char* into, std::size_t capacity) override {
    if (!files_.allow("cannot read", path_)) return 0;
    // Short reads, so that records and line ends fall across block boundaries.
    std::size_t count = std::min({capacity, content_.size() - offset_, std::size_t{1000}});
    std::memcpy(into, content_.data() + offset_, count);
    offset_ += count;
    return count;
  }
  textfile::FileIdentity identity() const override { return files_.identity_of_file(*file_); }
  std::string real_path() const override { return path_; }
  textfile::FileIdentity folder_identity() const override {
    return files_.folder_identity(folder_of(path_));
  }
  std::uint64_t size() const override { return content_.size(); }
  std::uint64_t modified() const override { return modified_; }
  void throw_if_changed() override {
    if (!files_.allow("cannot delete", path_)) return;
    if (!files_.has(path_) || files_.identity(path_) != identity()) {
      throw textfile::FileFailure("cannot delete", path_, EIO, "replaced");
    }
    if (file_->content != content_ || file_->modified != modified_) {
      throw textfile::FileFailure("cannot convert", path_, EIO, textfile::failure_text::kChanged);
    }
  }
  bool pin(const std::string& name) override {
    if (!files_.hard_links) return false;
    std::string pin = folder_of(path_) + name;
    if (files_.allow("cannot pin", pin)) {
      if (files_.has(pin)) throw textfile::FileFailure("cannot pin", pin, EEXIST, "File exists");
      files_.link(pin, file_);
    }
    return true;
  }
  void remove(const std::string& aside_name) override {
    throw_if_changed();
    files_.remove_input(path_, aside_name);
  }
  void sync_folder() override { files_.sync_folder_of(path_); }
  void remove_second_name(const std::string& name) override {
    files_.remove_second_name(folder_of(path_) + name, identity());
  }
  void close() override {}

 private:
  MemoryFileSystem& files_;
  std::string path_;
  std::shared_ptr<File> file_;
  std::string content_;
  std::uint64_t modified_ = file_->modified;
  std::size_t offset_ = 0;
};

class MemoryOutput : public textfile::WritableFile {
 public:
  MemoryOutput(MemoryFileSystem& files, std::string path, std::shared_ptr<File> file, bool created)
      : files_(files), path_(std::move(path)), file_(std::move(file)), created_(created) {}

  void write(const char* bytes, std::size_t size) override {
    if (files_.allow("cannot write", path_)) file_->content.append(bytes, size);
  }
  std::uint64_t size() const override { return file_->content.size(); }
  void truncate(std::uint64_t length) override {
    if (files_.allow("cannot truncate", path_)) file_->content.resize(length);
  }
  void sync() override {
    if (files_.allow("cannot sync", path_)) file_->synced_content = file_->content;
  }
  textfile::FileIdentity identity() const override { return files_.identity_of_file(*file_); }
  textfile::FileIdentity folder_identity() const override {
    return files_.folder_identity(folder_of(path_));
  }
  bool created() const override { return created_; }
  std::uint64_t name_count() const override { return files_.names_of(*file_); }
  void remove() override { files_.remove_second_name(path_, identity()); }
  void sync_folder() override { files_.sync_folder_of(path_); }
  std::optional<std::string> read_trusted_file(const std::string& name) const override {
    return files_.read_trusted_file(folder_of(path_) + name, file_->owner);
  }
  void write_file_beside(const std::string& name, const std::string& content) override {
    files_.write_small_file(folder_of(path_) + name, content);
  }
  void append_to_file_beside(const std::string& name, const std::string& content) override {
    files_.append_to_small_file(folder_of(path_) + name, content);
  }
  void remove_file_beside(const std::string& name) override {
    files_.remove_file(folder_of(path_) + name);
  }
  void close() override {}

 private:
  MemoryFileSystem& files_;
  std::string path_;
  std::shared_ptr<File> file_;
  bool created_;
};

}  // namespace

std::shared_ptr<File> MemoryFileSystem::new_file(const std::string& content) {
  auto file = std::make_shared<File>();
  file->content = content;
  file->index = next_index_++;
  file->incarnation = file->index;
  if (!birth_times) {
    std::vector<std::uint64_t> used;
    for (const std::weak_ptr<File>& made : made_) {
      if (auto alive = made.lock()) used.push_back(alive->index);
    }
    file->index = 1;
    while (std::find(used.begin(), used.end(), file->index) != used.end()) ++file->index;
  }
  made_.push_back(file);
  return file;
}

File& MemoryFileSystem::put(const std::string& path, const std::string& content) {
  std::shared_ptr<File>& file = names_[path];
  if (!file) file = new_file(content);
  file->content = file->synced_content = content;
  durable_names_[path] = file;
  return *file;
}

void MemoryFileSystem::erase(const std::string& path) {
  names_.erase(path);
  durable_names_.erase(path);
}

std::string MemoryFileSystem::content(const std::string& path) const {
  auto found = names_.find(path);
  return found == names_.end() ? std::string() : found->second->content;
}

std::map<std::string, std::string> MemoryFileSystem::contents() const {
  std::map<std::string, std::string> contents;
  for (const auto& [path, file] : names_) contents[path] = file->content;
  return contents;
}

textfile::FileIdentity MemoryFileSystem::identity(const std::string& path) const {
  return identity_of_file(*names_.at(path));
}

textfile::FileIdentity MemoryFileSystem::identity_of_file(const File& file) const {
  return {1, file.index, 0, birth_times ? file.incarnation : 0};
}

textfile::FileIdentity MemoryFileSystem::folder_identity(const std::string& folder) const {
  return {2, std::hash<std::string>()(folder), 0, 0};
}

std::uint64_t MemoryFileSystem::names_of(const File& file) const {
  return static_cast<std::uint64_t>(
      std::count_if(names_.begin(), names_.end(),
                    [&file](const auto& name) { return name.second.get() == &file; }));
}

bool MemoryFileSystem::allow(const char* what, const std::string& path) {
  if (crashed_) return false;
  ++operations_;
  if (operations_ == fail_at_) throw textfile::FileFailure(what, path, EIO, "Input/output error");
  if (operations_ != crash_at_) return true;
  cut_power();
  // A run cleaning up after a failure goes on, without effect, to report that failure.
  if (std::uncaught_exceptions() > 0) return false;
  throw Crash();
}

void MemoryFileSystem::cut_power() {
  crashed_ = true;
  Names kept;
  for (const auto& [path, file] : durable_names_) {
    // A name given to another file in one step (a rename over it) holds either file after a
    // power cut: here the one it held at the last sync.
    if (names_.count(path) != 0 || folders_losing_removals.count(folder_of(path)) != 0) {
      kept[path] = file;
    }
  }
  names_ = durable_names_ = kept;
  for (auto& [path, file] : names_) file->content = file->synced_content;
}

bool MemoryFileSystem::is_convertible_file(const std::string& path) {
  return has(path) && !file(path).hidden;
}

std::unique_ptr<textfile::ReadableFile> MemoryFileSystem::open_input(const std::string& path) {
  allow("cannot open", path);
  if (!has(path)) return nullptr;
  return std::make_unique<MemoryInput>(*this, path, names_[path]);
}

std::unique_ptr<textfile::WritableFile> MemoryFileSystem::open_main_output(
    const std::string& path, const textfile::FileIdentity& input) {
  auto moved = main_output_folder_moved.find(folder_of(path));
  if (moved == main_output_folder_moved.end()) return open_output(path, false, input, nullptr);
  return open_output(moved->second + path.substr(moved->first.size()), false, input, nullptr);
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
      throw textfile::FileFailure(what_failed, path, EINVAL, textfile::failure_text::kIsTheInput);
    }
    if (has(path) && main_output && identity(path) == *main_output) {
      throw textfile::FileFailure(what_failed, path, EINVAL,
                                  textfile::failure_text::kIsTheMainOutput);
    }
    created = !has(path);
    if (created) names_[path] = new_file("");
    if (!append) file(path).content.clear();
  }
  // After a power cut the path may name nothing: the output is then a file of no name.
  std::shared_ptr<File> output = has(path) ? names_[path] : new_file("");
  return std::make_unique<MemoryOutput>(*this, path, output, created);
}

// Moved aside, then unlinked: two operations, as on a disk.
void MemoryFileSystem::remove_input(const std::string& path, const std::string& aside_name) {
  const std::string aside = folder_of(path) + aside_name;
  if (allow("cannot delete", path)) {
    if (has(aside))
      throw textfile::FileFailure("cannot move aside to", aside, EEXIST, "File exists");
    names_[aside] = names_.at(path);
    names_.erase(path);
  }
  if (allow("cannot delete", aside)) names_.erase(aside);
}

void MemoryFileSystem::sync_folder_of(const std::string& path) {
  if (!allow("cannot sync folder", path)) return;
  const std::string folder = folder_of(path);
  for (auto entry = durable_names_.begin(); entry != durable_names_.end();) {
    bool in_folder = folder_of(entry->first) == folder;
    entry = in_folder ? durable_names_.erase(entry) : std::next(entry);
  }
  for (const auto& [name, file] : names_) {
    if (folder_of(name) == folder) durable_names_[name] = file;
  }
}

std::optional<textfile::FileIdentity> MemoryFileSystem::identity_of(const std::string& path) {
  auto error = lookup_errors.find(path);
  if (error != lookup_errors.end()) {
    throw textfile::FileFailure("cannot look up", path, error->second,
                                std::strerror(error->second));
  }
  if (!path.empty() && path.back() == '/') {
    if (missing_folders.count(path) != 0) return std::nullopt;
    return folder_identity(path);
  }
  if (!has(path)) return std::nullopt;
  return identity(path);
}

std::optional<std::string> MemoryFileSystem::read_trusted_file(const std::string& path, int owner) {
  if (!allow("cannot read", path) || !has(path)) return std::nullopt;
  const File& record = file(path);
  if (record.owner != 0 && record.owner != owner) {
    throw textfile::FileFailure("cannot trust", path, EPERM,
                                textfile::failure_text::kOwnedByAnotherUser);
  }
  if (record.writable_by_others) {
    throw textfile::FileFailure("cannot trust", path, EPERM,
                                textfile::failure_text::kWritableByOthers);
  }
  return record.content;
}

// As the real layer's: written aside, synced and renamed over, so that its content is durable;
// its name is not until its folder is synced.
void MemoryFileSystem::write_small_file(const std::string& path, const std::string& content) {
  if (!allow("cannot create", path)) return;
  names_[path] = new_file(content);
  names_[path]->synced_content = content;
}

void MemoryFileSystem::append_to_small_file(const std::string& path, const std::string& content) {
  if (!allow("cannot append to", path)) return;
  if (!has(path)) throw textfile::FileFailure("cannot append to", path, ENOENT, "No such file");
  File& small = file(path);
  small.content += content;
  small.synced_content = small.content;
}

void MemoryFileSystem::remove_file(const std::string& path) {
  if (allow("cannot delete", path)) names_.erase(path);
}

void MemoryFileSystem::remove_second_name(const std::string& path,
                                          const textfile::FileIdentity& file) {
  if (!allow("cannot delete", path)) return;
  if (has(path) && same_number(identity(path), file)) names_.erase(path);
}
