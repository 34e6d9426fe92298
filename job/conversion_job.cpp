#include "job/conversion_job.h"

#include "job/output_paths.h"
#include "job/record_router.h"
#include "job/split_output.h"
#include "textfile/text_input_file.h"
#include "textfile/text_output_file.h"

namespace job {
namespace {

// Hands the input to the router block by block. The first block has been read already.
void route_all_lines(textfile::FileSystem& files, textfile::TextInputFile& input,
                     RecordRouter& router) {
  for (;;) {
    bool end_of_input = input.at_end();
    input.consume(router.feed(input.data(), input.size(), end_of_input));
    if (end_of_input) return;
    input.read_more();
    files.throw_if_interrupted();
  }
}

// Deletes the input, still locked, and makes its removal durable.
void consume_input(textfile::FileSystem& files, textfile::TextInputFile& input,
                   const std::string& input_path) {
  files.remove_input(input.file(), input_path);
  files.sync_folder_of(input_path);
  input.close();
}

void close_quietly(textfile::TextOutputFile& output) noexcept {
  try {
    output.close();
  } catch (const std::exception&) {
    // The failure being reported already says the run did not finish.
  }
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
  textfile::TextInputFile input(std::move(opened));
  const textfile::FileIdentity input_identity = input.file().identity();
  if (!input.read_more()) {
    // An empty input has nothing to give to any output: none is created.
    consume_input(files, input, input_path);
    return RunOutcome::kConverted;
  }

  const std::string main_path = main_output_path(input_path);
  textfile::TextOutputFile main_output(files.open_main_output(main_path, input_identity));
  // Emptying the file undoes whatever an earlier run appended to it as a split output.
  files.remove_file(undo_record_path(main_path));

  const bool marked = is_marked_input(input_path);
  SplitOutput split_output(files, split_output_path(input_path), input_path, input_identity,
                           main_output.file().identity());
  RecordRouter router(marked, main_output, split_output);

  try {
    route_all_lines(files, input, router);
    // Both outputs must be durable before the input, the only other copy, goes.
    main_output.sync();
    split_output.sync();
    files.sync_folder_of(main_path);
    files.throw_if_interrupted();
  } catch (const std::exception&) {
    // The records written so far stay in the main output; the split output is appended to, so
    // a retry would add them again: they are taken back.
    close_quietly(main_output);
    split_output.roll_back();
    input.close();
    files.throw_if_interrupted();
    throw;
  }

  try {
    consume_input(files, input, input_path);
  } catch (const std::exception&) {
    // The outputs are complete; the undo record stays so that a retry appends only once.
    split_output.release();
    close_quietly(main_output);
    throw;
  }
  split_output.commit();
  main_output.close();
  return RunOutcome::kConverted;
}

}  // namespace job
