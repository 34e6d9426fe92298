#include "job/conversion_job.h"

#include <memory>

#include "job/record_router.h"
#include "job/run_outputs.h"
#include "job/undo_record.h"
#include "textfile/text_input_file.h"

namespace job {
namespace {

// Deletes the input, still locked, and makes its removal durable. Once its name is gone the
// input is converted: a failure after that says so, for nothing needs converting again. What
// a power cut could still bring back (the input's name, its removal not yet on disk) the
// record beside the split output and the input's pin, which then stay, tell the next run.
void remove_input(textfile::TextInputFile& input, const std::string& attempt) {
  input.file().remove(attempt_file_name(attempt, kAsideKind));
  try {
    input.file().sync_folder();
  } catch (const textfile::FileFailure& failure) {
    throw textfile::FileFailure("converted and deleted the input, but " + failure.what_failed(),
                                failure.path(), failure.error_number(), failure.error_text());
  }
  input.close();
}

// Every record of the input into its outputs, the outputs durable, the input deleted, the
// outputs committed. Whatever stops it takes the split output's appends back as the outputs
// go, while the caller still holds the input: no other run converts it before that is done.
void convert(textfile::FileSystem& files, textfile::TextInputFile& input,
             const std::string& input_path, const std::string& attempt) {
  RunOutputs outputs(files, input_path, input.file(), attempt);
  RecordRouter router(outputs.main_output(), outputs.split_output(), outputs.marked());
  route_input(input, router, [&files] { files.throw_if_interrupted(); });

  // Both outputs must be durable before the input, the only other copy, goes.
  outputs.make_durable();
  files.throw_if_interrupted();
  // A changed input fails here, while the split output can still be taken back.
  input.file().throw_if_changed();
  outputs.mark_complete();

  remove_input(input, outputs.attempt());
  outputs.commit();
}

}  // namespace

RunOutcome run_conversion(textfile::FileSystem& files, const std::string& argument_text) {
  // The whole argument text is the path, as it stands.
  const std::string& input_path = argument_text;
  if (input_path.empty() || !files.is_convertible_file(input_path)) {
    return RunOutcome::kNothingToDo;
  }

  std::unique_ptr<textfile::ReadableFile> opened = files.open_input(input_path);
  // Another run converted and deleted it between the test above and the input's lock.
  if (!opened) return RunOutcome::kNothingToDo;
  // This thread reads the input and converts it; each output of a large enough input writes
  // behind on a thread of its own (RunOutputs).
  textfile::TextInputFile input(std::move(opened));
  const std::string attempt = new_attempt();
  if (!input.read_more()) {
    // An empty input has nothing to give to any output: none is created.
    remove_input(input, attempt);
  } else {
    convert(files, input, input_path, attempt);
  }
  return RunOutcome::kConverted;
}

}  // namespace job
