#include "job/split_output.h"

#include <utility>

#include "job/output_paths.h"
#include "job/undo_record.h"

namespace job {

SplitOutput::SplitOutput(textfile::FileSystem& files, std::string path, std::string input_path,
                         textfile::FileIdentity input_identity)
    : files_(files),
      path_(std::move(path)),
      undo_path_(undo_record_path(path_)),
      input_path_(files.absolute_path(input_path)),
      input_identity_(input_identity) {}

SplitOutput::~SplitOutput() { release(); }

textfile::TextOutputFile& SplitOutput::split_output() {
  if (!file_) open();
  return *file_;
}

void SplitOutput::open() {
  file_ = std::make_unique<textfile::TextOutputFile>(files_.open_split_output(path_));
  // From here the file's lock is held: an undo record found now belongs to a run that is gone.
  undo_earlier_run();
  textfile::WritableFile& file = file_->file();
  UndoRecord record{file.size(), file.identity(), input_identity_, input_path_};
  // Written durably in the split output's own folder, which also makes a newly created split
  // output's folder entry durable.
  files_.write_small_file(undo_path_, record.encode());
  length_before_ = record.split_length;
}

void SplitOutput::undo_earlier_run() {
  std::optional<std::string> text = files_.read_small_file(undo_path_);
  if (!text) return;
  std::optional<UndoRecord> record = UndoRecord::decode(*text);
  if (!record) return;  // not whole: it was never acted on, and this run's record replaces it
  // Only while that run's input still exists will it be retried; once the input is gone its
  // records are the only copy and stay.
  if (files_.identity_of(record->input_path) != record->input_identity) return;
  textfile::WritableFile& file = file_->file();
  if (file.identity() == record->split_identity && file.size() >= record->split_length) {
    file.truncate(record->split_length);
    file.sync();
  }
}

void SplitOutput::sync() {
  if (file_) file_->sync();
}

void SplitOutput::roll_back() noexcept {
  // Before its undo record is written, the run has appended nothing.
  if (!file_ || !length_before_) return release();
  try {
    file_->discard();
    file_->file().truncate(*length_before_);
    file_->file().sync();
    files_.remove_file(undo_path_);
    files_.sync_folder_of(undo_path_);
  } catch (const std::exception&) {
    // The undo record stays, and the next run that opens this file finishes the job.
  }
  release();
}

void SplitOutput::commit() {
  if (!file_) return;
  files_.remove_file(undo_path_);
  file_->close();
  file_.reset();
}

void SplitOutput::release() noexcept {
  if (!file_) return;
  try {
    file_->close();
  } catch (const std::exception&) {
  }
  file_.reset();
}

}  // namespace job
