#pragma once

#include <memory>
#include <optional>
#include <string>

#include "job/record_router.h"
#include "job/undo_record.h"
#include "textfile/file_system.h"
#include "textfile/text_output_file.h"

namespace job {

// The split output of one run. It is opened, and created when missing, only when the first
// record is bound for it, and always appended to. Before that first append it leaves an undo
// record beside the file, so that what this run appends is taken back unless the run gets as far
// as deleting its input: every record reaches the split output exactly once, however often a
// failed or killed run is retried.
//
// Until it is marked complete, going out of scope rolls it back: the file is cut back to its
// length before this run (and removed when this run created it). Best effort: whatever is not
// undone then, the undo record undoes at the next run.
class SplitOutput : public SplitOutputSource {
 public:
  // `input_identity` and `main_identity` are the files this run holds already; the split output
  // must be neither.
  SplitOutput(textfile::FileSystem& files, textfile::BackgroundIo* io, std::string path,
              std::string input_path, textfile::FileIdentity input_identity,
              textfile::FileIdentity main_identity);
  ~SplitOutput() override;

  textfile::TextOutputFile& file() override;

  // Makes everything appended durable. Does nothing when the file was never opened.
  void sync();
  // Everything is appended and durable: from here on a failure (at the input's deletion) keeps
  // the appends and the undo record, and a retry of the same input takes them back before
  // making them again.
  void mark_complete() { complete_ = true; }
  // The input is deleted for good: the appends stay. Forgets the undo record and releases the
  // file.
  void commit();

 private:
  void open();
  void undo_earlier_run();
  bool input_exists(const UndoRecord& record);
  void remove_if_created() noexcept;
  void roll_back() noexcept;
  void release() noexcept;

  textfile::FileSystem& files_;
  textfile::BackgroundIo* io_;
  std::string path_;
  std::string undo_path_;
  std::string input_path_;
  textfile::FileIdentity input_identity_;
  textfile::FileIdentity main_identity_;
  // The file's length before this run's first append, once the undo record says so.
  std::optional<std::uint64_t> length_before_;
  std::unique_ptr<textfile::TextOutputFile> file_;
  bool complete_ = false;
};

}  // namespace job
