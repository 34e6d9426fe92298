#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "textfile/file_system.h"

namespace job {

// What a run that appends to a split output leaves beside it, so that a run that never gets to
// delete its input leaves nothing twice and loses nothing, however it ends (a failure, a kill, a
// power cut) and whatever file system it runs on.
//
// Like a database journal, the record says whether the work it guards was finished. It is
// written `kAppending` before the first append: a run that stops then has not touched its input,
// and the next run that opens the split output cuts it back to `split_length`. Once both
// outputs are durable, and before the input is touched, its completion is added at its end (a
// commit mark: an addition a power cut left torn is no completion): from then
// on nothing is ever cut back, and a retry of that very input, unchanged, consumes it without
// appending again. Which input that is never rests on the file system telling a deleted file
// from a later one that got its number: while the input waits for its deletion it has a second
// name of the run's own (the pin), and a name tells exactly which file it is for as long as it
// exists. Where a file system gives no second names, only a birth time can tell; without one,
// the record cannot be read for sure and a run that finds it fails, touching nothing.
struct UndoRecord {
  enum class State { kAppending, kComplete };

  // 5 for records this program writes, completed by an addition; 4 for records of the version
  // before, rewritten whole to complete them; 3 for records of the one before, which knew no
  // folder identity; 1 and 2 for records of earlier versions, which knew no state, size, time
  // or pin.
  int version = 5;
  State state = State::kAppending;
  // The split output's length before the run's appends and, once complete, after them.
  std::uint64_t split_length = 0;
  std::uint64_t split_end = 0;
  textfile::FileIdentity split_identity;
  textfile::FileIdentity input_identity;
  // The input as it was converted: its size and modification time.
  std::uint64_t input_size = 0;
  std::uint64_t input_modified = 0;
  // Names the run's own files beside the input (see attempt_file_path); empty in earlier
  // versions.
  std::string attempt;
  // Whether the input got its pin: false where the file system gives no second names.
  bool pinned = false;
  // The input's path through its folder as resolved when it was opened, links and ".." taken
  // out (in earlier versions: made absolute, as given), so that any run finds the input's
  // folder again whatever its own working folder and whatever a link points to by then.
  std::string input_path;
  // The identity of that folder (all zero in earlier versions, or where the system cannot
  // tell it): found again by it while it exists, wherever it was moved.
  textfile::FileIdentity input_folder;

  // The whole record as it stands: what was written appending, followed, once complete, by
  // completion().
  std::string encode() const;
  // What completes the record: added to what was written appending, it makes encode() of the
  // complete record.
  std::string completion() const;
  // Nothing for text that is not a whole record (a foreign or damaged file).
  static std::optional<UndoRecord> decode(const std::string& text);
};

// A name for one attempt at converting an input, different for every attempt (whatever the
// process number, which in a container is the same for every run): 12 hex digits.
std::string new_attempt();

// The run's own files beside the input, `.zorvant-<attempt>.<kind>`: the pin ("converted": a
// second name of an input whose records are all in the outputs) and the name it is moved to
// when it is deleted ("deleting").
std::string attempt_file_name(const std::string& attempt, const char* kind);
std::string attempt_file_path(const textfile::FileSystem& files, const std::string& input_path,
                              const std::string& attempt, const char* kind);
constexpr char kPinKind[] = "converted";
constexpr char kAsideKind[] = "deleting";

// True when two identities, read while both files exist, name the same file.
bool same_file(const textfile::FileIdentity& a, const textfile::FileIdentity& b);
// The same file, born at the same time: never a later file that got its number.
bool same_birth(const textfile::FileIdentity& a, const textfile::FileIdentity& b);
// The same for folders, whose births are compared too where both identities have one: a folder
// removed and made again at the same number is another folder.
bool same_folder(const textfile::FileIdentity& a, const textfile::FileIdentity& b);
// False for the all-zero identity of a folder the system could not tell.
bool is_known(const textfile::FileIdentity& identity);

}  // namespace job
