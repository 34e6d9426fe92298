#include "job/split_output.h"

#include <cerrno>
#include <utility>

#include "job/output_paths.h"

namespace job {
namespace {

// The records of an input that an earlier run appended already go here: they are counted and
// dropped.
class AppendedBefore : public textfile::WritableFile {
 public:
  void write(const char*, std::size_t size) override { size_ += size; }
  std::uint64_t size() const override { return size_; }
  void truncate(std::uint64_t length) override { size_ = length; }
  void sync() override {}
  textfile::FileIdentity identity() const override { return {}; }
  bool created() const override { return false; }
  // A count of bytes has no folder and nothing beside it.
  std::optional<std::string> read_trusted_file(const std::string&) const override {
    return std::nullopt;
  }
  void close() override {}

 private:
  std::uint64_t size_ = 0;
};

}  // namespace

SplitOutput::SplitOutput(textfile::FileSystem& files, std::string path, std::string input_path,
                         textfile::ReadableFile& input, textfile::FileIdentity main_identity,
                         std::string attempt)
    : files_(files),
      path_(std::move(path)),
      undo_path_(undo_record_path(files, path_)),
      input_path_(files.absolute_path(input_path)),
      input_(input),
      input_identity_(input.identity()),
      main_identity_(main_identity),
      attempt_(std::move(attempt)) {}

SplitOutput::~SplitOutput() {
  if (!complete_) roll_back();
  release();
}

textfile::TextOutputFile& SplitOutput::file() {
  if (!file_) open();
  return appended_before_ ? *appended_before_ : *file_;
}

void SplitOutput::open() {
  file_ = std::make_unique<textfile::TextOutputFile>(
      files_.open_split_output(path_, input_identity_, main_identity_),
      files_.start_background_io());
  // From here the file's lock is held: an undo record found now belongs to a run that is gone.
  settle_earlier_run();
  if (appended_before_) return;
  textfile::WritableFile& file = file_->file();
  record_ = UndoRecord{};
  record_.split_length = file.size();
  record_.split_identity = file.identity();
  record_.input_identity = input_identity_;
  record_.attempt = attempt_;
  record_.input_path = input_path_;
  // Written durably in the split output's own folder, which also makes a newly created split
  // output's folder entry durable.
  files_.write_small_file(undo_path_, record_.encode());
  length_before_ = record_.split_length;
}

void SplitOutput::settle_earlier_run() {
  // A record someone else could have written or changed is never acted on: the run fails
  // before it appends anything, and the operator looks.
  std::optional<std::string> text = file_->file().read_trusted_file(undo_path_);
  if (!text) return;
  std::optional<UndoRecord> record = UndoRecord::decode(*text);
  if (!record) return;  // not whole: it was never acted on, and this run's record replaces it
  if (record->version < 3) return settle_earlier_version(*record);
  if (record->state == UndoRecord::State::kAppending) return take_back(*record);
  settle_complete(*record);
}

textfile::FileFailure SplitOutput::untrusted(const std::string& why) const {
  return textfile::FileFailure("cannot trust", undo_path_, EPERM, why);
}

// A run that stopped before its outputs were complete never touched its input: its appends go,
// and a retry makes them again.
void SplitOutput::take_back(const UndoRecord& record) {
  textfile::WritableFile& file = file_->file();
  // A file made anew since holds nothing of that run's.
  if (!same_file(record.split_identity, file.identity())) return;
  // Never lengthened: a file shorter than the record says was changed by another program, and
  // what to keep of it is for the operator to say.
  if (file.size() < record.split_length) {
    throw untrusted("the split output '" + path_ +
                    "' is shorter than this record says: another program changed it; check it, "
                    "then delete this record");
  }
  file.truncate(record.split_length);
  file.sync();
  // Pinned, but stopped before its record said complete: the pin is a mere second name. A second
  // name of this very input goes only once the input is gone or this run failed: removing it now
  // would change the input's change time, and the input would look changed while converted.
  if (record.attempt.empty()) return;
  const std::string pin = attempt_file_path(files_, record.input_path, record.attempt, kPinKind);
  std::optional<textfile::FileIdentity> pinned = files_.identity_of(pin);
  if (pinned && same_file(*pinned, input_identity_)) {
    earlier_pin_ = pin;
    return;
  }
  files_.remove_file(pin);
}

// That run's records are all in the outputs: never cut back. Its input is told by its pin.
void SplitOutput::settle_complete(const UndoRecord& record) {
  if (!record.pinned) return settle_unpinned(record);
  const std::string pin = attempt_file_path(files_, record.input_path, record.attempt, kPinKind);
  const std::string aside =
      attempt_file_path(files_, record.input_path, record.attempt, kAsideKind);
  std::optional<textfile::FileIdentity> pinned = files_.identity_of(pin);
  // The pin goes only once the input's removal is durable: the input is gone for good.
  if (!pinned) return;
  if (std::optional<textfile::FileIdentity> moved = files_.identity_of(aside)) {
    if (!same_file(*moved, *pinned)) {
      throw textfile::FileFailure("cannot delete", aside, EEXIST,
                                  "moved aside by an earlier run, but not the input it converted: "
                                  "check it and move it back to '" +
                                      record.input_path + "'");
    }
    return finish_deletion_of(record);
  }
  // Two names of files that both exist are the same file exactly when their numbers are.
  if (same_file(input_identity_, *pinned)) return adopt(record);
  std::optional<textfile::FileIdentity> named = files_.identity_of(record.input_path);
  if (named && same_file(*named, *pinned)) throw waits_for_deletion(record);
  // The input's name is gone: its deletion was done but for the pin.
  finish_deletion_of(record);
}

textfile::FileFailure SplitOutput::waits_for_deletion(const UndoRecord& record) const {
  return textfile::FileFailure("cannot append to", path_, EBUSY,
                               "holds the converted records of '" + record.input_path +
                                   "', which waits to be deleted: run zorvant on it first");
}

// Where the file system gave the input no second name, only a birth time tells it from a later
// file that got its number: without one, nothing is guessed.
void SplitOutput::settle_unpinned(const UndoRecord& record) {
  std::optional<textfile::FileIdentity> named = files_.identity_of(record.input_path);
  if (!named) return;  // deleted
  if (record.input_identity.incarnation == 0) {
    throw untrusted("cannot tell whether its input '" + record.input_path +
                    "' is the file converted or a later one of the same name: if that file's "
                    "records are in the split output, delete it; then delete this record");
  }
  if (*named != record.input_identity) return;  // a later file: the input was deleted
  if (input_identity_ != record.input_identity) throw waits_for_deletion(record);
  adopt(record);
}

// This very input, converted whole by an earlier run that did not get to delete it: consumed
// without appending again, if it is still what was converted and its records are still there.
void SplitOutput::adopt(const UndoRecord& record) {
  if (input_.size() != record.input_size || input_.modified() != record.input_modified) {
    throw untrusted("its input '" + record.input_path +
                    "' changed after its records went to the outputs: check what the split "
                    "output holds of it, then delete this record");
  }
  textfile::WritableFile& file = file_->file();
  if (!same_file(file.identity(), record.split_identity) || file.size() < record.split_end) {
    throw untrusted("the split output '" + path_ +
                    "' is not as its input's records left it: check it, then delete this record");
  }
  record_ = record;
  attempt_ = record.attempt;
  pin_made_ = record.pinned;
  appended_before_ = std::make_unique<textfile::TextOutputFile>(std::make_unique<AppendedBefore>());
}

// The input of a complete record is gone but for the run's own names of it.
void SplitOutput::finish_deletion_of(const UndoRecord& record) {
  const std::string aside =
      attempt_file_path(files_, record.input_path, record.attempt, kAsideKind);
  files_.remove_file(aside);
  files_.sync_folder_of(aside);
  files_.remove_file(attempt_file_path(files_, record.input_path, record.attempt, kPinKind));
}

// Records of earlier versions know no state: they were acted on while their input existed, and
// that input was told by its identity. Without a birth time in it, that cannot be proven.
void SplitOutput::settle_earlier_version(const UndoRecord& record) {
  std::optional<textfile::FileIdentity> named = files_.identity_of(record.input_path);
  bool retry = same_file(record.input_identity, input_identity_);
  if (record.input_identity.incarnation == 0) {
    bool maybe_there = retry || (named && same_file(*named, record.input_identity));
    if (!maybe_there) return;  // gone: its records are the only copy and stay
    throw untrusted("left by an earlier version, which cannot tell whether its input '" +
                    record.input_path +
                    "' was converted: if that file's records are in the split output, delete "
                    "it; then delete this record");
  }
  bool exists =
      input_identity_ == record.input_identity || (named && *named == record.input_identity);
  if (!exists) return;
  UndoRecord appending = record;
  appending.attempt.clear();
  take_back(appending);
}

void SplitOutput::sync() {
  if (file_) file_->sync();
}

void SplitOutput::mark_complete() {
  if (!file_ || appended_before_) {
    complete_ = true;
    return;
  }
  record_.pinned = input_.pin(attempt_file_name(attempt_, kPinKind));
  pin_made_ = record_.pinned;
  record_.state = UndoRecord::State::kComplete;
  record_.split_end = file_->file().size();
  record_.input_size = input_.size();
  record_.input_modified = input_.modified();
  files_.write_small_file(undo_path_, record_.encode());
  complete_ = true;
}

void SplitOutput::commit() {
  if (!file_) return;
  try {
    if (pin_made_) files_.remove_file(attempt_file_path(files_, input_path_, attempt_, kPinKind));
    if (earlier_pin_) files_.remove_file(*earlier_pin_);
    files_.remove_file(undo_path_);
  } catch (const std::exception&) {
    // The input is gone for good: the next run that opens this file finds it so.
  }
  release();
}

void SplitOutput::roll_back() noexcept {
  if (!file_ || appended_before_) return;
  // Before its undo record is written, the run has appended nothing.
  if (!length_before_) {
    remove_if_created();
    return;
  }
  try {
    // This run's record replaced the one that named it.
    if (earlier_pin_) files_.remove_file(*earlier_pin_);
    file_->discard();
    textfile::WritableFile& file = file_->file();
    // Shortened by another program meanwhile: never lengthened. The record stays, and the next
    // run says so.
    if (file.size() < *length_before_) return;
    file.truncate(*length_before_);
    file.sync();
    remove_if_created();
    if (pin_made_) files_.remove_file(attempt_file_path(files_, input_path_, attempt_, kPinKind));
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

void SplitOutput::release() noexcept {
  if (!file_) return;
  try {
    file_->close();
  } catch (const std::exception&) {
  }
  file_.reset();
  appended_before_.reset();
}

}  // namespace job
