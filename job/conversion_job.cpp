#include "job/conversion_job.h"

#include <memory>
#include <optional>

#include "job/output_paths.h"
#include "job/record_router.h"
#include "job/split_output.h"
#include "job/undo_record.h"
#include "textfile/text_input_file.h"
#include "textfile/text_output_file.h"

namespace job {
namespace {

// Deletes the input, still locked, and makes its removal durable.
void remove_input(textfile::FileSystem& files, textfile::TextInputFile& input,
                  const std::string& input_path, const std::string& attempt) {
  input.file().remove(attempt_file_name(attempt, kAsideKind));
  files.sync_folder_of(input_path);
  input.close();
}

}  // namespace

// Clean-up after a failure or a signal is the files' own: leaving this function, the split
// output rolls back its appends unless marked complete, then the main output and the input are
// closed, the input last, so that no other run converts it before the roll back is done.
RunOutcome run_conversion(textfile::FileSystem& files, const std::string& argument_text) {
  // The whole argument text is the path, as it stands.
  const std::string& input_path = argument_text;
  if (input_path.empty() || !files.is_convertible_file(input_path)) {
    return RunOutcome::kNothingToDo;
  }

  std::unique_ptr<textfile::ReadableFile> opened = files.open_input(input_path);
  // Another run converted and deleted it between the test above and the input's lock.
  if (!opened) return RunOutcome::kNothingToDo;
  // One thread reads ahead, another writes behind, while this one converts. Declared before the
  // files, so that they outlive them: the files hand them their last reads and writes.
  std::unique_ptr<textfile::BackgroundIo> reading = files.start_background_io();
  std::unique_ptr<textfile::BackgroundIo> writing = files.start_background_io();
  textfile::TextInputFile input(std::move(opened), reading.get());
  const textfile::FileIdentity input_identity = input.file().identity();
  const std::string attempt = new_attempt();
  if (!input.read_more()) {
    // An empty input has nothing to give to any output: none is created.
    remove_input(files, input, input_path, attempt);
    return RunOutcome::kConverted;
  }

  const std::string main_path = main_output_path(input_path);
  textfile::TextOutputFile main_output(files.open_main_output(main_path, input_identity),
                                       writing.get());
  // Emptying the file undoes whatever an earlier run appended to it as a split output.
  files.remove_file(undo_record_path(files, main_path));

  std::optional<SplitOutput> split_output;
  if (is_marked_input(input_path)) {
    split_output.emplace(files, writing.get(), split_output_path(input_path), input_path,
                         input.file(), main_output.file().identity(), attempt);
  }
  RecordRouter router(main_output, split_output ? &*split_output : nullptr);
  route_input(input, router, [&files] { files.throw_if_interrupted(); });

  // Both outputs must be durable before the input, the only other copy, goes.
  main_output.sync();
  if (split_output) split_output->sync();
  files.sync_folder_of(main_path);
  files.throw_if_interrupted();
  // A changed input fails here, while the split output can still be taken back.
  input.file().throw_if_changed();
  if (split_output) split_output->mark_complete();

  remove_input(files, input, input_path, split_output ? split_output->attempt() : attempt);
  if (split_output) split_output->commit();
  main_output.close();
  return RunOutcome::kConverted;
}

}  // namespace job
