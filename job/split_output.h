#pragma once

#include <memory>
#include <optional>
#include <string>

#include "job/record_router.h"
#include "job/undo_record.h"
#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/text_output_file.h"

namespace job {

// The split output of one run. It is opened, and created when missing, only when the first
// record is bound for it, and always appended to. Before that first append it leaves an undo
// record beside the file (see UndoRecord), so that every record reaches the split output exactly
// once, however often a failed or killed run is retried.
//
// Until it is complete, going out of scope rolls it back: the file is cut back to its length
// before this run (and removed when this run created it). Best effort: whatever is not undone
// then, the undo record undoes at the next run.
class SplitOutput : public SplitOutputSource {
 public:
  // `input` is the file this run converts and `main_identity` its main output: the split output
  // must be neither. `attempt` names this attempt's own files beside the input.
  SplitOutput(textfile::FileSystem& files, std::string path, textfile::ReadableFile& input,
              textfile::FileIdentity main_identity, std::string attempt);
  ~SplitOutput() override;

  textfile::TextOutputFile& file() override;

  // Makes everything appended durable, on the file's writing thread where it has one, until
  // wait(). Does nothing when the file was never opened.
  void begin_sync();
  void wait();
  // Everything is appended: the input gets its pin, where the file system gives second names, a
  // name the caller makes durable (by syncing the input's folder) before mark_complete.
  void pin_input();
  // Everything appended durable, the pin too, and the input unchanged: the undo record says
  // complete, durably, before the input is touched. From here on a failure (at the input's
  // deletion) keeps the appends, and a retry of the same input consumes it without appending.
  void mark_complete();
  // The attempt whose files beside the input the deletion uses: this run's own, or that of an
  // earlier run of this very input whose records were complete.
  const std::string& attempt() const { return attempt_; }
  // The input is deleted for good: the appends stay. Removes the pin and the undo record and
  // releases the file; what it cannot remove, the next run that opens the file settles.
  void commit();

 private:
  void open();
  void settle_earlier_run();
  void take_back(const UndoRecord& record);
  void settle_complete(const UndoRecord& record);
  void settle_unpinned(const UndoRecord& record, const std::string& input_path);
  void settle_earlier_version(const UndoRecord& record);
  std::optional<std::string> reach_input(const UndoRecord& record);
  std::string reach_input_or_throw(const UndoRecord& record);
  void adopt(const UndoRecord& record, const std::string& pin);
  void finish_deletion_of(const std::string& input_path, const std::string& attempt,
                          const textfile::FileIdentity& converted);
  textfile::FileFailure untrusted(const std::string& why) const;
  textfile::FileFailure waits_for_deletion(const std::string& input_path) const;
  void remove_pins();
  void remove_if_created() noexcept;
  void roll_back() noexcept;
  void release() noexcept;

  textfile::FileSystem& files_;
  std::string path_;
  std::string undo_path_;
  std::string undo_name_;
  // The input's path through its folder as resolved when it was opened.
  std::string input_path_;
  textfile::ReadableFile& input_;
  textfile::FileIdentity input_identity_;
  textfile::FileIdentity input_folder_;
  textfile::FileIdentity main_identity_;
  std::string attempt_;
  UndoRecord record_;
  // The file's length before this run's first append, once the undo record says so.
  std::optional<std::uint64_t> length_before_;
  std::unique_ptr<textfile::TextOutputFile> file_;
  // Where records go when an earlier run of this input appended them already: nowhere.
  std::unique_ptr<textfile::TextOutputFile> appended_before_;
  // A pin an earlier run left on this very input (unfinished, or complete and adopted):
  // removed with this run's own.
  std::optional<std::string> earlier_pin_;
  // This run gave the input its pin.
  bool pin_made_ = false;
  bool complete_ = false;
};

}  // namespace job
