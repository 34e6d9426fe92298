#pragma once

#include <map>
#include <memory>
#include <string>

#include "textfile/file_system.h"

// A file layer held in memory, for testing the conversion without a disk. It can be told to fail
// its Nth operation, so that every failure path can be walked in turn.
class MemoryFileSystem : public textfile::FileSystem {
 public:
  struct File {
    std::string content;
    std::uint64_t index = 0;
    std::uint64_t incarnation = 0;
    bool hidden = false;  // stands for anything the existence test rejects
    int owner = 0;        // 0: the user who runs the program
    bool writable_by_others = false;
  };

  // Files by path; an entry's content is what a "power cut" would keep after a sync.
  std::map<std::string, File> files;
  // Paths that cannot be looked up, with the error the system gives (a name too long, say).
  std::map<std::string, int> lookup_errors;

  void put(const std::string& path, const std::string& content);
  std::string content(const std::string& path) const;
  bool has(const std::string& path) const { return files.count(path) != 0; }

  // Thrown at a simulated crash. Not a std::exception, so that nothing of the run catches it:
  // as after a kill, no clean-up of the run's own takes place.
  struct Crash {};

  // Makes operation number `n` (counting from 1 since this call) fail with EIO; 0 never.
  void fail_operation(int n) { arm(n, false); }
  // Makes the process "die" at operation number `n`: it throws Crash, and from then on no
  // operation has any effect.
  void crash_at_operation(int n) { arm(n, true); }
  int operations() const { return operations_; }

  // Called before every operation: throws when it is the one to fail or to crash; false when
  // the process has crashed and the operation must leave everything as it is.
  bool allow(const char* what, const std::string& path);

  bool is_convertible_file(const std::string& path) override;
  std::unique_ptr<textfile::ReadableFile> open_input(const std::string& path) override;
  std::unique_ptr<textfile::WritableFile> open_main_output(
      const std::string& path, const textfile::FileIdentity& input) override;
  std::unique_ptr<textfile::WritableFile> open_split_output(
      const std::string& path, const textfile::FileIdentity& input,
      const textfile::FileIdentity& main_output) override;
  void remove_input(textfile::ReadableFile& input, const std::string& path) override;
  void sync_folder_of(const std::string& path) override;
  std::string absolute_path(const std::string& path) override { return path; }
  std::optional<textfile::FileIdentity> identity_of(const std::string& path) override;
  std::optional<std::string> read_trusted_file(const std::string& path,
                                               const textfile::WritableFile& beside) override;
  void write_small_file(const std::string& path, const std::string& content) override;
  void remove_file(const std::string& path) override;
  void throw_if_interrupted() override {}

  textfile::FileIdentity identity(const std::string& path) const {
    const File& file = files.at(path);
    return {1, file.index, 0, file.incarnation};
  }

 private:
  std::unique_ptr<textfile::WritableFile> open_output(const std::string& path, bool append,
                                                      const textfile::FileIdentity& input,
                                                      const textfile::FileIdentity* main_output);

  void arm(int n, bool crash) {
    fail_at_ = n;
    crash_ = crash;
    crashed_ = false;
    operations_ = 0;
  }

  std::uint64_t next_index_ = 1;
  bool crash_ = false;
  bool crashed_ = false;
  int fail_at_ = 0;
  int operations_ = 0;
};
