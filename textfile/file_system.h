#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The one seam between the conversion and the operating system. Every system call the program
// makes lives behind these classes; one implementation per platform is chosen by the build.
// Every operation that fails throws textfile::FileFailure naming what failed, the path and the
// system's error number and text.
namespace textfile {

// Which file a path or an open file is: two handles name the same file when these are equal.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;

  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// An input opened for reading, locked against other runs for as long as it is open.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to `capacity` bytes; returns 0 only at the end of the file.
  virtual std::size_t read(char* into, std::size_t capacity) = 0;
  virtual FileIdentity identity() const = 0;
  // Releases the file and its lock. Closing twice does nothing.
  virtual void close() = 0;
};

// An output opened for writing, locked against other runs for as long as it is open. Writes go
// straight to the system (the caller buffers), so sync() covers everything written.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all of `bytes` or throws.
  virtual void write(const char* bytes, std::size_t size) = 0;
  virtual std::uint64_t size() const = 0;
  // Cuts the file back to `length` bytes; later writes continue at the new end.
  virtual void truncate(std::uint64_t length) = 0;
  // Makes everything written so far durable.
  virtual void sync() = 0;
  virtual FileIdentity identity() const = 0;
  // Releases the file and its lock. Closing twice does nothing.
  virtual void close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when `path` names an ordinary file that a run may convert: it exists, is not a folder
  // or any other special file, and is not hidden. Never fails and never opens the file.
  virtual bool is_convertible_file(const std::string& path) = 0;

  // Opens the input and takes its exclusive lock without waiting: a file another run holds
  // fails with "in use by another run".
  virtual std::unique_ptr<ReadableFile> open_input(const std::string& path) = 0;

  // Opens or creates the main output, waits for its exclusive lock, then empties it. A path
  // whose last component is a symbolic link fails; nothing is written through it.
  virtual std::unique_ptr<WritableFile> open_main_output(const std::string& path) = 0;

  // Opens or creates the split output for appending and waits for its exclusive lock; its
  // content stays. A symbolic link at the path fails as for the main output.
  virtual std::unique_ptr<WritableFile> open_split_output(const std::string& path) = 0;

  // Deletes the input through which `input` was opened, while its lock is still held. Fails
  // when the path no longer names that very file, or when the file is read-only.
  virtual void remove_input(ReadableFile& input, const std::string& path) = 0;

  // Makes the folder entries of the folder that holds `path` durable (a created or removed
  // file survives a power cut).
  virtual void sync_folder_of(const std::string& path) = 0;

  // `path` as seen from anywhere: relative paths are taken from the current folder.
  virtual std::string absolute_path(const std::string& path) = 0;

  // The identity of the file `path` names (following links), or nothing when there is none.
  virtual std::optional<FileIdentity> identity_of(const std::string& path) = 0;

  // Small bookkeeping files kept beside the outputs. read_small_file gives nothing for a
  // missing file; write_small_file replaces the file durably (all or nothing); remove_file
  // does nothing for a missing file.
  virtual std::optional<std::string> read_small_file(const std::string& path) = 0;
  virtual void write_small_file(const std::string& path, const std::string& content) = 0;
  virtual void remove_file(const std::string& path) = 0;
};

// The file system of the platform the program was built for.
FileSystem& platform_file_system();

}  // namespace textfile
