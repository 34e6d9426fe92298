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
class SplitOutput : public SplitOutputSource {
 public:
  // `input_identity` and `main_identity` are the files this run holds already; the split output
  // must be neither.
  SplitOutput(textfile::FileSystem& files, std::string path, std::string input_path,
              textfile::FileIdentity input_identity, textfile::FileIdentity main_identity);
  ~SplitOutput() override;

  textfile::TextOutputFile& split_output() override;

  // Makes everything appended durable. Does nothing when the file was never opened.
  void sync();
  // The run failed or was stopped before its input was deleted: cut the file back to its
  // length before this run, and remove it when this run created it. Best effort: whatever is not
  // undone here the undo record undoes at the next run, so this never fails.
  void roll_back() noexcept;
  // The input is deleted for good: the appends stay. Forgets the undo record and releases the
  // file.
  void commit();
  // Releases the file and keeps the undo record: a failure at deletion leaves complete outputs,
  // and a retry of the same input takes this run's appends back before making them again.
  void release() noexcept;

 private:
  void open();
  void undo_earlier_run();
  bool input_exists(const UndoRecord& record);
  void remove_if_created() noexcept;

  textfile::FileSystem& files_;
  std::string path_;
  std::string undo_path_;
  std::string input_path_;
  textfile::FileIdentity input_identity_;
  textfile::FileIdentity main_identity_;
  // The file's length before this run's first append, once the undo record says so.
  std::optional<std::uint64_t> length_before_;
  std::unique_ptr<textfile::TextOutputFile> file_;
};

}  // namespace job
