#include "job/run_outputs.h"

#include "job/output_paths.h"

namespace job {

RunOutputs::RunOutputs(textfile::FileSystem& files, const std::string& input_path,
                       textfile::ReadableFile& input, const std::string& attempt)
    : main_path_(main_output_path(input_path)),
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

void RunOutputs::make_durable() {
  main_output_.sync();
  if (split_output_) split_output_->sync();
  main_output_.file().sync_folder();
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
