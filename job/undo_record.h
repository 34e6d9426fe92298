#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "textfile/file_system.h"

namespace job {

// What a run that appends to a split output leaves beside it before its first append, so that
// its appends can be taken back if it never gets to delete its input: after a failure, a kill
// or a power cut, the next run that opens the split output cuts it back to `split_length` while
// the input still exists, and a retry of that input then appends its records exactly once.
struct UndoRecord {
  std::uint64_t split_length = 0;
  textfile::FileIdentity split_identity;
  textfile::FileIdentity input_identity;
  // Absolute, so that any run can find the input again whatever its own working folder.
  std::string input_path;

  std::string encode() const;
  // Nothing for text that is not a whole record (a foreign or damaged file).
  static std::optional<UndoRecord> decode(const std::string& text);

  // True when the file `actual` is the one recorded as `recorded`. Records written before
  // identities carried the file's birth (incarnation 0) match on volume and index alone.
  static bool names(const textfile::FileIdentity& recorded, const textfile::FileIdentity& actual);
};

}  // namespace job
