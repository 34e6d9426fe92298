#include "job/split_output.h"

#include <cerrno>
#include <utility>

#include "job/output_paths.h"
#include "job/write_behind.h"
#include "textfile/failure_texts.h"

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
  textfile::FileIdentity folder_identity() const override { return {}; }
  bool created() const override { return false; }
  std::uint64_t name_count() const override { return 1; }
  // A count of bytes has no name, no folder and nothing beside it.
  void remove() override {}
  void sync_folder() override {}
  std::optional<std::string> read_trusted_file(const std::string&) const override {
    return std::nullopt;
  }
  void write_file_beside(const std::string&, const std::string&) override {}
  void append_to_file_beside(const std::string&, const std::string&) override {}
  void remove_file_beside(const std::string&) override {}
  void close() override {}

 private:
  std::uint64_t size_ = 0;
};

}  // namespace

SplitOutput::SplitOutput(textfile::FileSystem& files, std::string path,
                         textfile::ReadableFile& input, textfile::FileIdentity main_identity,
                         std::string attempt)
    : files_(files),
      path_(std::move(path)),
      undo_path_(undo_record_path(files, path_)),
      undo_name_(undo_path_.substr(files.file_name_start(undo_path_))),
      input_path_(input.real_path()),
      input_(input),
      input_identity_(input.identity()),
      input_folder_(input.folder_identity()),
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
      writing_thread_for(files_, input_));
  // The undo record beside this name is the only one of the file only while the file has no
  // other name: a run through another name would keep a record of its own, and each run's
  // retry would take back what the other appended.
  if (file_->file().name_count() > 1) {
    throw textfile::FileFailure("cannot append to", path_, EMLINK,
                                textfile::failure_text::kHasOtherNames);
  }
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
  record_.input_folder = input_folder_;
  // Durable, name and all, before anything is appended: the appends may reach the disk at any
  // moment from here. The sync of the split output's folder makes a newly created split
  // output's name durable too.
  file.write_file_beside(undo_name_, record_.encode());
  length_before_ = record_.split_length;
  file.sync_folder();
}

void SplitOutput::settle_earlier_run() {
  // A record someone else could have written or changed is never acted on: the run fails
  // before it appends anything, and the operator looks.
  std::optional<std::string> text = file_->file().read_trusted_file(undo_name_);
  if (!text) return;
  // Records are replaced whole, never written in place: one that is not whole was damaged
  // (a repair of the file system, another program), and what its run appended cannot be told.
  std::optional<UndoRecord> record = UndoRecord::decode(*text);
  if (!record) {
    throw untrusted(
        "not a whole undo record (damaged, or cut short): what its run appended to the split "
        "output cannot be told; check the end of the split output against its input, then "
        "delete this record");
  }
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
  // Not synced here: this run's own record says the same length, and its sync of the split
  // output makes the cut durable before anything relies on it.
  file.truncate(record.split_length);
  // Pinned, but stopped before its record said complete: the pin is a mere second name. A second
  // name of this very input goes only once the input is gone or this run failed: removing it now
  // would change the input's change time, and the input would look changed while converted.
  if (record.attempt.empty()) return;
  // A folder out of reach keeps its pin: only a second name, which nothing here relies on.
  std::optional<std::string> input_path = reach_input(record);
  if (!input_path) return;
  const std::string pin = attempt_file_path(files_, *input_path, record.attempt, kPinKind);
  std::optional<textfile::FileIdentity> pinned = files_.identity_of(pin);
  if (pinned && same_file(*pinned, input_identity_)) {
    earlier_pin_ = pin;
    return;
  }
  files_.remove_second_name(pin, record.input_identity);
}

// The record's input as it can be reached now: through this run's own folder when the record's
// is that very folder (whatever path led to it then, or leads to it now), else through the path
// the record names, while it leads to the same folder. Nothing where it no longer does: the
// folder was moved or removed, and its pin cannot be looked for.
std::optional<std::string> SplitOutput::reach_input(const UndoRecord& record) {
  const std::string name = record.input_path.substr(files_.file_name_start(record.input_path));
  if (is_known(record.input_folder) && is_known(input_folder_) &&
      same_folder(record.input_folder, input_folder_)) {
    return input_path_.substr(0, files_.file_name_start(input_path_)) + name;
  }
  const std::string folder = record.input_path.substr(0, files_.file_name_start(record.input_path));
  std::optional<textfile::FileIdentity> found = files_.identity_of(folder.empty() ? "." : folder);
  if (!found) return std::nullopt;
  if (is_known(record.input_folder) && !same_folder(*found, record.input_folder)) {
    return std::nullopt;
  }
  return record.input_path;
}

// A pin that cannot be looked for is never taken for one that is gone.
std::string SplitOutput::reach_input_or_throw(const UndoRecord& record) {
  if (std::optional<std::string> input_path = reach_input(record)) return *input_path;
  throw untrusted("the folder of its input '" + record.input_path +
                  "' cannot be reached (moved or removed since): run zorvant on that input where "
                  "it is now; if it is gone for good, delete this record");
}

// That run's records are all in the outputs: never cut back. Its input is told by its pin.
void SplitOutput::settle_complete(const UndoRecord& record) {
  const std::string input_path = reach_input_or_throw(record);
  if (!record.pinned) return settle_unpinned(record, input_path);
  const std::string pin = attempt_file_path(files_, input_path, record.attempt, kPinKind);
  const std::string aside = attempt_file_path(files_, input_path, record.attempt, kAsideKind);
  std::optional<textfile::FileIdentity> pinned = files_.identity_of(pin);
  // The pin goes only once the input's removal is durable: the input is gone for good.
  if (!pinned) return;
  if (std::optional<textfile::FileIdentity> moved = files_.identity_of(aside)) {
    if (!same_file(*moved, *pinned)) {
      throw textfile::FileFailure("cannot delete", aside, EEXIST,
                                  "moved aside by an earlier run, but not the input it converted: "
                                  "check it and move it back to '" +
                                      input_path + "'");
    }
    return finish_deletion_of(input_path, record.attempt, *pinned);
  }
  // Two names of files that both exist are the same file exactly when their numbers are.
  if (same_file(input_identity_, *pinned)) return adopt(record, pin);
  std::optional<textfile::FileIdentity> named = files_.identity_of(input_path);
  if (named && same_file(*named, *pinned)) throw waits_for_deletion(input_path);
  // The input's name is gone: its deletion was done but for the pin.
  finish_deletion_of(input_path, record.attempt, *pinned);
}

textfile::FileFailure SplitOutput::waits_for_deletion(const std::string& input_path) const {
  return textfile::FileFailure("cannot append to", path_, EBUSY,
                               "holds the converted records of '" + input_path +
                                   "', which waits to be deleted: run zorvant on it first");
}

// Where the file system gave the input no second name, only a birth time tells it from a later
// file that got its number: without one, nothing is guessed.
void SplitOutput::settle_unpinned(const UndoRecord& record, const std::string& input_path) {
  std::optional<textfile::FileIdentity> named = files_.identity_of(input_path);
  if (!named) return;  // deleted
  if (record.input_identity.incarnation == 0) {
    throw untrusted("cannot tell whether its input '" + input_path +
                    "' is the file converted or a later one of the same name: if that file's "
                    "records are in the split output, delete it; then delete this record");
  }
  if (!same_birth(*named, record.input_identity)) return;  // a later file: the input was deleted
  if (!same_birth(input_identity_, record.input_identity)) throw waits_for_deletion(input_path);
  adopt(record, std::string());
}

// This very input, converted whole by an earlier run that did not get to delete it: consumed
// without appending again, if it is still what was converted and its records are still there.
void SplitOutput::adopt(const UndoRecord& record, const std::string& pin) {
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
  if (!pin.empty()) earlier_pin_ = pin;
  appended_before_ = std::make_unique<textfile::TextOutputFile>(std::make_unique<AppendedBefore>());
}

// The input of a complete record, the file `converted`, is gone but for the run's own names of
// it; a file of any other identity at those names stays. Neither removal need last: a pin that
// comes back with no input of its name is an input deleted for good, and an aside that comes
// back alone is a hidden copy of an input already converted, as a killed run leaves one.
void SplitOutput::finish_deletion_of(const std::string& input_path, const std::string& attempt,
                                     const textfile::FileIdentity& converted) {
  const std::string aside = attempt_file_path(files_, input_path, attempt, kAsideKind);
  files_.remove_second_name(aside, converted);
  files_.remove_second_name(attempt_file_path(files_, input_path, attempt, kPinKind), converted);
}

// Records of earlier versions know no state: they were acted on while their input existed, and
// that input was told by its identity. Without a birth time in it, that cannot be proven.
void SplitOutput::settle_earlier_version(const UndoRecord& record) {
  std::optional<textfile::FileIdentity> named = files_.identity_of(reach_input_or_throw(record));
  bool retry = same_file(record.input_identity, input_identity_);
  if (record.input_identity.incarnation == 0) {
    bool maybe_there = retry || (named && same_file(*named, record.input_identity));
    if (!maybe_there) return;  // gone: its records are the only copy and stay
    throw untrusted("left by an earlier version, which cannot tell whether its input '" +
                    record.input_path +
                    "' was converted: if that file's records are in the split output, delete "
                    "it; then delete this record");
  }
  bool exists = same_birth(input_identity_, record.input_identity) ||
                (named && same_birth(*named, record.input_identity));
  if (!exists) return;
  UndoRecord appending = record;
  appending.attempt.clear();
  take_back(appending);
}

void SplitOutput::begin_sync() {
  if (file_) file_->begin_sync();
}

void SplitOutput::wait() {
  if (file_) file_->wait();
}

void SplitOutput::pin_input() {
  if (!file_ || appended_before_) return;
  record_.pinned = input_.pin(attempt_file_name(attempt_, kPinKind));
  pin_made_ = record_.pinned;
}

void SplitOutput::mark_complete() {
  if (!file_ || appended_before_) {
    complete_ = true;
    return;
  }
  record_.state = UndoRecord::State::kComplete;
  record_.split_end = file_->file().size();
  record_.input_size = input_.size();
  record_.input_modified = input_.modified();
  // In place: no name changes, so no folder needs syncing for it.
  file_->file().append_to_file_beside(undo_name_, record_.completion());
  complete_ = true;
}

void SplitOutput::commit() {
  if (!file_) return;
  try {
    remove_pins();
    file_->file().remove_file_beside(undo_name_);
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
    if (earlier_pin_) files_.remove_second_name(*earlier_pin_, input_identity_);
    file_->discard();
    textfile::WritableFile& file = file_->file();
    // Shortened by another program meanwhile: never lengthened. The record stays, and the next
    // run says so.
    if (file.size() < *length_before_) return;
    file.truncate(*length_before_);
    file.sync();
    remove_if_created();
    if (pin_made_) input_.remove_second_name(attempt_file_name(attempt_, kPinKind));
    // The record's removal need not last: a record that a power cut brings back says to cut
    // the file back to the length it has, and the next run that writes a record beside it makes
    // the removal durable before it appends.
    file.remove_file_beside(undo_name_);
  } catch (const std::exception&) {
    // The undo record stays, and the next run that opens this file finishes the job.
  }
}

// The input is gone for good: its second names go, this run's own and an earlier run's.
void SplitOutput::remove_pins() {
  if (pin_made_) input_.remove_second_name(attempt_file_name(attempt_, kPinKind));
  if (earlier_pin_) files_.remove_second_name(*earlier_pin_, input_identity_);
}

// A split output exists only once a record has gone to it. Removed while its lock is held: a
// run waiting for that lock finds the file gone and opens the path afresh. Only the file this
// run made goes, from the folder it was made in.
void SplitOutput::remove_if_created() noexcept {
  try {
    if (file_->file().created()) file_->file().remove();
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
