#include "job/run_outputs.h"

#include "job/output_paths.h"

namespace job {

RunOutputs::RunOutputs(textfile::FileSystem& files, const std::string& input_path,
                       textfile::ReadableFile& input, const std::string& attempt)
    : input_(input),
      main_path_(main_output_path(input_path)),
      attempt_(attempt),
      main_output_(files.open_main_output(main_path_, input.identity()),
                   files.start_background_io()) {
  // Emptying the file undoes whatever an earlier run appended to it as a split output.
  const std::string undo_path = undo_record_path(files, main_path_);
  main_output_.file().remove_file_beside(undo_path.substr(files.file_name_start(undo_path)));
  if (is_marked_input(input_path)) {
    split_output_.emplace(files, split_output_path(input_path), input,
                          main_output_.file().identity(), attempt);
  }
}

RunOutputs::~RunOutputs() { split_output_.reset(); }

// The two syncs depend on nothing of each other: the main output's goes on its writing thread
// while the split output's goes on this one, and a journaling file system commits both at once.
void RunOutputs::make_durable() {
  main_output_.begin_sync();
  if (split_output_) split_output_->sync();
  main_output_.wait();
}

// One sync of the input's folder makes both the main output's name and the input's pin durable
// where the main output is beside the input, as it is but for a folder moved between their
// openings. The pin must last before the record says complete: a complete record whose pin a
// power cut took away reads as an input deleted for good, and the retry would append again.
void RunOutputs::make_names_durable() {
  bool pinned = split_output_ && split_output_->pin_input();
  textfile::WritableFile& main_file = main_output_.file();
  main_file.sync_folder();
  const textfile::FileIdentity input_folder = input_.folder_identity();
  if (pinned &&
      !(is_known(input_folder) && same_folder(main_file.folder_identity(), input_folder))) {
    input_.sync_folder();
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
