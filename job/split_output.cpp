#include "job/split_output.h"

#include <utility>

#include "job/output_paths.h"

namespace job {

SplitOutput::SplitOutput(textfile::FileSystem& files, textfile::BackgroundIo* io, std::string path,
                         std::string input_path, textfile::FileIdentity input_identity,
                         textfile::FileIdentity main_identity)
    : files_(files),
      io_(io),
      path_(std::move(path)),
      undo_path_(undo_record_path(path_)),
      input_path_(files.absolute_path(input_path)),
      input_identity_(input_identity),
      main_identity_(main_identity) {}

SplitOutput::~SplitOutput() {
  if (!complete_) roll_back();
  release();
}

textfile::TextOutputFile& SplitOutput::file() {
  if (!file_) open();
  return *file_;
}

void SplitOutput::open() {
  file_ = std::make_unique<textfile::TextOutputFile>(
      files_.open_split_output(path_, input_identity_, main_identity_), io_);
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
  // A record someone else could have written or changed is never acted on: the run fails
  // before it appends anything, and the operator looks.
  std::optional<std::string> text = files_.read_trusted_file(undo_path_, file_->file());
  if (!text) return;
  std::optional<UndoRecord> record = UndoRecord::decode(*text);
  if (!record) return;  // not whole: it was never acted on, and this run's record replaces it
  // Only while that run's input still exists will it be retried; once the input is gone its
  // records are the only copy and stay.
  if (!input_exists(*record)) return;
  textfile::WritableFile& file = file_->file();
  if (UndoRecord::names(record->split_identity, file.identity()) &&
      file.size() >= record->split_length) {
    file.truncate(record->split_length);
    file.sync();
  }
}

bool SplitOutput::input_exists(const UndoRecord& record) {
  // The retry of that very input, the usual case, needs no looking up.
  if (UndoRecord::names(record.input_identity, input_identity_)) return true;
  std::optional<textfile::FileIdentity> found = files_.identity_of(record.input_path);
  return found && UndoRecord::names(record.input_identity, *found);
}

void SplitOutput::sync() {
  if (file_) file_->sync();
}

void SplitOutput::roll_back() noexcept {
  if (!file_) return;
  // Before its undo record is written, the run has appended nothing.
  if (!length_before_) {
    remove_if_created();
    return;
  }
  try {
    file_->discard();
    file_->file().truncate(*length_before_);
    file_->file().sync();
    remove_if_created();
    files_.remove_file(undo_path_);
    files_.sync_folder_of(undo_path_);
  } catch (const std::exception&) {
    // The undo record stays, and the next run that opens this file finishes the job.
  }
}

// A split output exists only once a record has gone to it. Removed while its lock is held: a
// run waiting for that lock finds the file gone and opens the path afresh.
void SplitOutput::remove_if_created() noexcept {
  try {
    if (file_->file().created()) files_.remove_file(path_);
  } catch (const std::exception&) {
    // An empty file is left: harmless.
  }
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
