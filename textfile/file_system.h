#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "textfile/background_io.h"

// The one seam between the conversion and the operating system. Every system call the
// conversion makes lives behind these classes (what only the process's entry does, signals and
// the report's way out, is in platform.h); one implementation per platform is chosen by the
// build.
// Every operation that fails throws textfile::FileFailure naming what failed, the path and the
// system's error number and text.
namespace textfile {

// The volume of every file on storage that several hosts share (NFS, SMB and the like): there a
// device number is the host's own, and each host numbers the same share otherwise. Such files are
// told apart by their index alone, which the file server gives.
constexpr std::uint64_t kSharedVolume = ~static_cast<std::uint64_t>(0);

// Which file a path or an open file is. Two handles name the same file when these are equal,
// and a file deleted long ago is told apart from a later one that got the same index.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  // The upper half of a 128-bit file index (Windows); 0 where indexes have 64 bits.
  std::uint64_t index_high = 0;
  // The file's birth: its creation time in nanoseconds where the file system records one, else
  // its generation number, else 0 (then volume and index alone tell files apart).
  std::uint64_t incarnation = 0;

  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index && index_high == other.index_high &&
           incarnation == other.incarnation;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// An input opened for reading, locked against other runs for as long as it is open. Where the
// system allows, writers are watched for too: a program that opens the file for writing during
// the run ends the run at its next check (FileSystem::throw_if_interrupted) with "changed while
// being converted", and is let through at once.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to `capacity` bytes; returns 0 only at the end of the file.
  virtual std::size_t read(char* into, std::size_t capacity) = 0;
  virtual FileIdentity identity() const = 0;
  // The file's size and modification time (in nanoseconds) when it was opened.
  virtual std::uint64_t size() const = 0;
  virtual std::uint64_t modified() const = 0;
  // Fails with "changed while being converted" unless the file is as it was opened and read to
  // its end: same size, modification and change times, nobody opened it for writing, and its
  // path still names it.
  virtual void throw_if_changed() = 0;
  // Where the file is, resolved once when it was opened: the absolute path of the folder it was
  // opened in, with every link and "." or ".." taken out, and the file's name in it. Another path
  // to the same file (from another working folder, through a link pointed elsewhere since) leads
  // a later run to the same place.
  virtual std::string real_path() const = 0;
  // The identity of that folder, which still tells it once it has been moved or replaced; all
  // zero where the system cannot tell it.
  virtual FileIdentity folder_identity() const = 0;
  // Gives the file a second name, `name`, in the folder it was opened in, and makes sure that
  // name is this very file. The name is durable once that folder is synced (sync_folder). False,
  // making nothing, where the file system gives no file a second name (or not this user this file).
  // A file already at `name` fails: nothing is made through it.
  virtual bool pin(const std::string& name) = 0;
  // Deletes the file once its outputs are durable, and then closes it. It must be the very
  // file that was opened and read to its end, as it was then (throw_if_changed). Where the file
  // is moved aside before it goes, it is moved to `aside_name` in the folder it was opened in, a
  // name of this attempt's own: a file moved onto the path at the last moment is never deleted
  // in its place, and a file found at that name fails, named in the report. A read-only file (no
  // write permission for anyone) fails and stays. When it fails the file is still there; when it
  // returns the file is gone, though its removal may not be durable yet (sync_folder).
  virtual void remove(const std::string& aside_name) = 0;
  // Makes the file's removal, and a pin, durable: syncs the folder it was opened in.
  virtual void sync_folder() = 0;
  // Removes `name` from the folder the file was opened in when it is a second name of this very
  // file (a pin); a file of any other identity at that name stays.
  virtual void remove_second_name(const std::string& name) = 0;
  // Releases the file, its lock and its watch for writers. Closing twice does nothing.
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
  // The identity of the folder the file was opened in; all zero where the system cannot tell it.
  virtual FileIdentity folder_identity() const = 0;
  // True when opening it created the file.
  virtual bool created() const = 0;
  // How many names (hard links) the file has.
  virtual std::uint64_t name_count() const = 0;
  // Removes the file's name, through the folder it was opened in, when that name still leads to
  // this very file: any other file found there stays. Never a path resolved anew, which another
  // user could have pointed elsewhere since the file was opened.
  virtual void remove() = 0;
  // Makes the entries of the folder the file was opened in durable (a created or removed file
  // survives a power cut).
  virtual void sync_folder() = 0;

  // Small bookkeeping files this program keeps beside the output: `name` in the folder the
  // output was opened in, reached through that very folder.
  //
  // The file, or nothing for a missing file. Fails, naming the file, unless the file could only
  // have been written by this program for this output: an ordinary file, owned by the output's
  // owner or by the running user, and writable by nobody else.
  virtual std::optional<std::string> read_trusted_file(const std::string& name) const = 0;
  // Replaces the file, all or nothing, through a temporary file created afresh (never opened
  // through a link or a file someone left there). The new content is durable before it takes
  // the name, but the name itself only once the folder is synced (sync_folder): until then a
  // power cut may leave the old file, or none.
  virtual void write_file_beside(const std::string& name, const std::string& content) = 0;
  // Adds `content` at the end of the file (one that write_file_beside made, trusted as
  // read_trusted_file trusts) and makes it durable; no name changes. A power cut while it
  // appends may leave any part of it, or none: the file's own text must tell a whole addition.
  virtual void append_to_file_beside(const std::string& name, const std::string& content) = 0;
  // Does nothing for a missing file.
  virtual void remove_file_beside(const std::string& name) = 0;
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
  // fails with "in use by another run", a file another program has open for writing with "in
  // use by another program". Gives nothing, touching nothing, when once locked the path no
  // longer names a file that exists: another run has converted and deleted it meanwhile.
  virtual std::unique_ptr<ReadableFile> open_input(const std::string& path) = 0;

  // Opens or creates the main output, waits for its exclusive lock, then empties it. A path
  // whose last component is a symbolic link fails; nothing is written through it. The input
  // itself (a hard link) fails with "is the input itself" instead of waiting on its own lock.
  virtual std::unique_ptr<WritableFile> open_main_output(const std::string& path,
                                                         const FileIdentity& input) = 0;

  // Opens or creates the split output for appending and waits for its exclusive lock; its
  // content stays. A symbolic link at the path fails as for the main output, and so do the
  // input ("is the input itself") and the main output ("is the main output too").
  virtual std::unique_ptr<WritableFile> open_split_output(const std::string& path,
                                                          const FileIdentity& input,
                                                          const FileIdentity& main_output) = 0;

  // Makes the folder entries of the folder that holds `path` durable (a created or removed
  // file survives a power cut).
  virtual void sync_folder_of(const std::string& path) = 0;

  // The identity of the file `path` names (following links), or nothing when there is no such
  // file. Any other trouble finding out (a name too long, no permission, a disk error) fails:
  // it never passes for a missing file.
  virtual std::optional<FileIdentity> identity_of(const std::string& path) = 0;

  // Where the last component of `path` (the file's own name) begins, by the platform's path
  // syntax: after the last "/", on Windows also after a backslash or a drive's ":"; 0 for a
  // bare name.
  virtual std::size_t file_name_start(const std::string& path) const = 0;

  // Removes the name `path` when it names the file `file` (a second name that an earlier run
  // gave its input), through the folder it was looked up in; a file of any other identity at
  // that name stays. Does nothing for a missing name.
  virtual void remove_second_name(const std::string& path, const FileIdentity& file) = 0;

  // A thread that reads and writes files while the conversion goes on, or nothing where every
  // operation must happen in turn, or where no thread can be started (a process limit). It takes no
  // termination signal: those wake the thread that runs the conversion, wherever it waits.
  virtual std::unique_ptr<BackgroundIo> start_background_io() = 0;

  // The run's safe point: throws textfile::Interrupted when a termination signal has arrived,
  // and "changed while being converted" when a program has opened the input for writing.
  virtual void throw_if_interrupted() = 0;
};

// The file system of the platform the program was built for.
FileSystem& platform_file_system();

}  // namespace textfile
