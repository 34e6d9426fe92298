#pragma once

#include <optional>
#include <string>

#include "job/record_router.h"
#include "job/split_output.h"
#include "textfile/file_system.h"
#include "textfile/text_output_file.h"

namespace job {

// The outputs of one run: the main output, emptied, and for a marked input the split output,
// appended to. They are made durable together before the input goes, and committed once it is
// gone. Outputs that go uncommitted take the split output's appends back (see SplitOutput).
class RunOutputs {
 public:
  // Opens the main output of the input at `input_path`, open as `input`, and readies the split
  // output of a marked input; `attempt` names this attempt's own files beside the input.
  RunOutputs(textfile::FileSystem& files, const std::string& input_path,
             textfile::ReadableFile& input, const std::string& attempt);
  // Takes the split output's appends back first, while the main output is still held.
  ~RunOutputs();
  RunOutputs(const RunOutputs&) = delete;
  RunOutputs& operator=(const RunOutputs&) = delete;

  bool marked() const { return split_output_.has_value(); }
  textfile::TextOutputFile& main_output() { return main_output_; }
  // Null for an unmarked input.
  SplitOutputSource* split_output() { return split_output_ ? &*split_output_ : nullptr; }

  // Everything written durable, and the main output's name; the main output closed. A marked
  // input gets its pin, durable too.
  void make_durable();
  // Everything is durable, and the input unchanged: from here the split output is never cut back,
  // and a retry consumes the input without appending again.
  void mark_complete();
  // The attempt whose names the input's deletion uses: this run's own, or that of an earlier
  // run of this very input whose records were complete.
  const std::string& attempt() const;
  // The input is gone for good: the split output's bookkeeping goes and it is released.
  void commit();

 private:
  textfile::ReadableFile& input_;
  std::string main_path_;
  std::string attempt_;
  textfile::TextOutputFile main_output_;
  std::optional<SplitOutput> split_output_;
};

}  // namespace job
