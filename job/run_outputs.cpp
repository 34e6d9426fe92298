#include "job/run_outputs.h"

#include "job/output_paths.h"

namespace job {

RunOutputs::RunOutputs(textfile::FileSystem& files, const std::string& input_path,
                       textfile::ReadableFile& input, const std::string& attempt)
    : files_(files),
      main_path_(main_output_path(input_path)),
      attempt_(attempt),
      main_output_(files.open_main_output(main_path_, input.identity()),
                   files.start_background_io()) {
  // Emptying the file undoes whatever an earlier run appended to it as a split output.
  files.remove_file(undo_record_path(files, main_path_));
  if (is_marked_input(input_path)) {
    split_output_.emplace(files, split_output_path(input_path), input_path, input,
                          main_output_.file().identity(), attempt);
  }
}

RunOutputs::~RunOutputs() { split_output_.reset(); }

void RunOutputs::make_durable() {
  main_output_.sync();
  if (split_output_) split_output_->sync();
  files_.sync_folder_of(main_path_);
}

void RunOutputs::mark_complete() {
  if (split_output_) split_output_->mark_complete();
}

const std::string& RunOutputs::attempt() const {
  return split_output_ ? split_output_->attempt() : attempt_;
}

void RunOutputs::commit() {
  if (split_output_) split_output_->commit();
  main_output_.close();
}

}  // namespace job
