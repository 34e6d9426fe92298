#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "textfile/file_system.h"

// A file layer held in memory, for testing the conversion without a disk. It can be told to fail
// its Nth operation, so that every failure path can be walked in turn, or to lose power there.
//
// A power cut leaves what a disk would: file data as it was at the file's last sync, and folder
// entries as they were at their folder's last sync, except that a removal may reach the disk
// before it. Of everything not synced, the worst is kept: an entry created since is lost, an
// entry replaced since holds its old file, and an entry removed since stays removed, or comes
// back in the folders where the test says removals are lost.
class MemoryFileSystem : public textfile::FileSystem {
 public:
  struct File {
    std::string content;
    std::string synced_content;
    std::uint64_t index = 0;
    std::uint64_t incarnation = 0;
    std::uint64_t modified = 0;
    bool hidden = false;  // stands for anything the existence test rejects
    int owner = 0;        // 0: the user who runs the program
    bool writable_by_others = false;
  };

  // Paths that cannot be looked up, with the error the system gives (a name too long, say).
  std::map<std::string, int> lookup_errors;
  // Without birth times (a FUSE or network mount), identities carry none, and a new file gets
  // the lowest number no file still uses, as a deleted file's number is handed out again.
  bool birth_times = true;
  // Whether a file can have a second name.
  bool hard_links = true;
  // Folders ("/d/") whose entries removed since their last sync come back at a power cut.
  std::set<std::string> folders_losing_removals;
  // Folders ("/d/") that no path leads to any more (moved or removed); every other folder
  // exists, with an identity that comes from its path.
  std::set<std::string> missing_folders;
  // Folders ("/d/" to "/e/") where a main output opened lands in the other folder, as if the
  // folder had been moved away after the input was opened and another put at its path.
  std::map<std::string, std::string> main_output_folder_moved;

  // Puts a file in place as if it had long been there, synced and in a synced folder. A file
  // already at the path keeps its identity.
  File& put(const std::string& path, const std::string& content);
  // Takes a file away, as if it had never been there.
  void erase(const std::string& path);
  File& file(const std::string& path) { return *names_.at(path); }
  std::string content(const std::string& path) const;
  bool has(const std::string& path) const { return names_.count(path) != 0; }
  // Every path and the content of its file.
  std::map<std::string, std::string> contents() const;
  textfile::FileIdentity identity(const std::string& path) const;
  textfile::FileIdentity identity_of_file(const File& file) const;
  textfile::FileIdentity folder_identity(const std::string& folder) const;
  // How many names lead to `file`.
  std::uint64_t names_of(const File& file) const;
  // Gives `file` the name `path` as well.
  void link(const std::string& path, std::shared_ptr<File> file) { names_[path] = std::move(file); }
  // Gives the file at `existing` the name `path` as well, durably, as if long done.
  void link(const std::string& path, const std::string& existing) {
    names_[path] = durable_names_[path] = names_.at(existing);
  }

  // Thrown at a simulated power cut. Not a std::exception, so that nothing of the run catches
  // it: no clean-up of the run's own takes place.
  struct Crash {};

  // Makes operation number `n` (counting from 1 since this call) fail with EIO; 0 never.
  void fail_operation(int n) { arm(n, 0); }
  // Cuts the power at operation number `n`: it throws Crash, the files are left as a disk would
  // leave them, and from then on no operation has any effect.
  void crash_at_operation(int n) { arm(0, n); }
  // Both: the run fails at operation `n`, and the power goes at operation `m` while it cleans up
  // (no Crash is thrown there: the run reports its failure).
  void fail_then_crash(int n, int m) { arm(n, m); }
  bool crashed() const { return crashed_; }
  // Cuts the power now, between operations: what the run left is left as a disk would leave it.
  void cut_power();

  // Called before every operation: throws when it is the one to fail or to crash; false when
  // the power is off and the operation must leave everything as it is.
  bool allow(const char* what, const std::string& path);
  // What the layer's files ask of it: the input's deletion, a record read beside an output of
  // the owner `owner`.
  void remove_input(const std::string& path, const std::string& aside_name);
  std::optional<std::string> read_trusted_file(const std::string& path, int owner);
  // The bookkeeping files an output keeps beside it, here by their whole paths.
  void write_small_file(const std::string& path, const std::string& content);
  void append_to_small_file(const std::string& path, const std::string& content);
  void remove_file(const std::string& path);

  bool is_convertible_file(const std::string& path) override;
  std::unique_ptr<textfile::ReadableFile> open_input(const std::string& path) override;
  std::unique_ptr<textfile::WritableFile> open_main_output(
      const std::string& path, const textfile::FileIdentity& input) override;
  std::unique_ptr<textfile::WritableFile> open_split_output(
      const std::string& path, const textfile::FileIdentity& input,
      const textfile::FileIdentity& main_output) override;
  void sync_folder_of(const std::string& path) override;
  std::size_t file_name_start(const std::string& path) const override {
    return path.rfind('/') + 1;  // 0 for a bare name
  }
  std::optional<textfile::FileIdentity> identity_of(const std::string& path) override;
  void remove_second_name(const std::string& path, const textfile::FileIdentity& file) override;
  void throw_if_interrupted() override {}
  // Every operation in turn, so that operation number N is the same in every run.
  std::unique_ptr<textfile::BackgroundIo> start_background_io() override { return nullptr; }

 private:
  using Names = std::map<std::string, std::shared_ptr<File>>;

  std::unique_ptr<textfile::WritableFile> open_output(const std::string& path, bool append,
                                                      const textfile::FileIdentity& input,
                                                      const textfile::FileIdentity* main_output);
  std::shared_ptr<File> new_file(const std::string& content);

  void arm(int fail_at, int crash_at) {
    fail_at_ = fail_at;
    crash_at_ = crash_at;
    crashed_ = false;
    operations_ = 0;
  }

  // The folder entries as the program sees them, and as a power cut would leave them.
  Names names_;
  Names durable_names_;
  // Every file made, so that a number is handed out again only once nothing holds its file.
  std::vector<std::weak_ptr<File>> made_;
  std::uint64_t next_index_ = 1;
  bool crashed_ = false;
  int fail_at_ = 0;
  int crash_at_ = 0;
  int operations_ = 0;
};
