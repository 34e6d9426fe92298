#include "job/run_outputs.h"

#include "job/output_paths.h"
#include "job/write_behind.h"

namespace job {

RunOutputs::RunOutputs(textfile::FileSystem& files, const std::string& input_path,
                       textfile::ReadableFile& input, const std::string& attempt)
    : input_(input),
      main_path_(main_output_path(input_path)),
      attempt_(attempt),
      main_output_(files.open_main_output(main_path_, input.identity()),
                   writing_thread_for(files, input)) {
  // Emptying the file undoes whatever an earlier run appended to it as a split output.
  const std::string undo_path = undo_record_path(files, main_path_);
  main_output_.file().remove_file_beside(undo_path.substr(files.file_name_start(undo_path)));
  if (is_marked_input(input_path)) {
    split_output_.emplace(files, split_output_path(input_path), input,
                          main_output_.file().identity(), attempt);
  }
}

RunOutputs::~RunOutputs() { split_output_.reset(); }

// Nothing of these syncs depends on another: the main output's goes on its writing thread and
// the split output's on its own while this one syncs the input's folder, and a journaling file
// system commits them at once. The input is pinned first, so that one sync of its folder makes
// both its pin and the main output's name durable, where the main output is beside the input (as
// it is but for a folder moved between their openings: its folder is then synced on its own).
// The pin must last before the record says complete: a complete record whose pin a power cut
// took away reads as an input deleted for good, and the retry would append again.
void RunOutputs::make_durable() {
  if (split_output_) split_output_->pin_input();
  const textfile::FileIdentity main_folder = main_output_.file().folder_identity();
  main_output_.begin_sync();
  if (split_output_) split_output_->begin_sync();
  input_.sync_folder();
  if (split_output_) split_output_->wait();
  main_output_.wait();
  const textfile::FileIdentity input_folder = input_.folder_identity();
  if (!(is_known(input_folder) && same_folder(main_folder, input_folder))) {
    main_output_.file().sync_folder();
  }
  // Closed while the input is still there, so that a failure to close keeps it, as every
  // failure before its deletion does. Nothing more is written to it.
  main_output_.close();
}

void RunOutputs::mark_complete() {
  if (split_output_) split_output_->mark_complete();
}

const std::string& RunOutputs::attempt() const {
  return split_output_ ? split_output_->attempt() : attempt_;
}

void RunOutputs::commit() {
  if (split_output_) split_output_->commit();
}

}  // namespace job
