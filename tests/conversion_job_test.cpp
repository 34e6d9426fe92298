#include "job/conversion_job.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>

#include "job/output_paths.h"
#include "job/undo_record.h"
#include "memory_file_system.h"
#include "textfile/file_failure.h"

namespace {

using std::string;

const string kInput = "/d/0502/A.dat";
const string kMain = "/d/0502/A.dat.txt";
const string kSplit = "/d/1101/A.dat.txt";
const string kSplitBefore = "K0002 from an earlier input\r\n";

// A marked input with records for both outputs over several reads, and a split output that
// already holds a record of an earlier input.
MemoryFileSystem scene() {
  MemoryFileSystem files;
  string input;
  for (int line = 0; line < 12; ++line) {
    for (char type : {'1', '2', '3'}) input += "K000" + string(1, type) + string(251, 'a' + line);
    input += "\r\n";
  }
  files.put(kInput, input);
  files.put(kSplit, kSplitBefore);
  return files;
}

// The run fails naming the undo record beside the split output, leaving the split output as
// `split` and the input where it is. Gives what failed.
string fails_naming_the_record(MemoryFileSystem& files, const string& split) {
  string what_failed;
  try {
    job::run_conversion(files, kInput);
    ADD_FAILURE() << "converted";
  } catch (const textfile::FileFailure& failure) {
    EXPECT_EQ(failure.path(), "/d/1101/.A.dat.txt.undo");
    what_failed = failure.what_failed();
  }
  EXPECT_EQ(files.content(kSplit), split);
  EXPECT_TRUE(files.has(kInput));
  return what_failed;
}

// What an operator sees: every file and its content, bookkeeping files aside.
std::map<string, string> visible_state(const MemoryFileSystem& files) {
  std::map<string, string> state;
  for (const auto& [path, content] : files.contents()) {
    if (path.find("/.") == string::npos) state[path] = content;
  }
  return state;
}

TEST(ConversionJob, EndsSilentlyWithoutAFileToConvert) {
  MemoryFileSystem files = scene();
  files.file(kInput).hidden = true;
  EXPECT_EQ(job::run_conversion(files, ""), job::RunOutcome::kNothingToDo);
  EXPECT_EQ(job::run_conversion(files, kInput), job::RunOutcome::kNothingToDo);
  EXPECT_EQ(job::run_conversion(files, "/d/missing"), job::RunOutcome::kNothingToDo);
  EXPECT_EQ(files.contents().size(), 2u);
}

TEST(ConversionJob, CleanRunConsumesTheInputAndLeavesNoUndoRecord) {
  MemoryFileSystem files = scene();
  EXPECT_EQ(job::run_conversion(files, kInput), job::RunOutcome::kConverted);
  EXPECT_FALSE(files.has(kInput));
  EXPECT_EQ(files.content(kSplit).substr(0, kSplitBefore.size()), kSplitBefore);
  EXPECT_EQ(files.content(kSplit).size(), kSplitBefore.size() + 12 * 258);
  EXPECT_EQ(files.content(kMain).size(), 24u * 258);
  EXPECT_FALSE(files.has("/d/1101/.A.dat.txt.undo"));
}

// Every operation of a run fails in turn, and separately the power is cut at every operation and
// after the last, with the input folder's unsynced removals kept or lost. After a failure the input
// is kept byte for byte and the split output holds no partial records; after either, a plain retry
// leaves exactly what one clean run leaves.
TEST(ConversionJob, RetryAfterAFailureOrCrashAtAnyOperationEqualsOneCleanRun) {
  MemoryFileSystem clean = scene();
  const string input = clean.content(kInput);
  job::run_conversion(clean, kInput);
  const auto expected = visible_state(clean);
  const string complete_split = clean.content(kSplit);

  for (string stop : {"failure", "crash", "crash losing the input's removal"}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(stop + " at operation " + std::to_string(n));
      MemoryFileSystem files = scene();
      bool crash = stop != "failure";
      crash ? files.crash_at_operation(n) : files.fail_operation(n);
      if (stop == "crash losing the input's removal") files.folders_losing_removals = {"/d/0502/"};
      bool stopped = false;
      try {
        job::run_conversion(files, kInput);
      } catch (const textfile::FileFailure&) {
        stopped = true;
        if (files.has(kInput)) {
          EXPECT_EQ(files.content(kInput), input);
          string split = files.content(kSplit);
          EXPECT_TRUE(split == kSplitBefore || split == complete_split) << split.size();
        }
      } catch (const MemoryFileSystem::Crash&) {
        stopped = true;
      }
      // The run no longer reaches operation n: the power goes once it has ended, the last time.
      if (!stopped && crash) files.cut_power();

      files.fail_operation(0);
      job::run_conversion(files, kInput);
      EXPECT_TRUE(visible_state(files) == expected);
      if (!stopped) break;
    }
  }
}

// An unmarked input gets no pin, whose folder sync would make the main output's name durable on
// the way: the run itself must, before the input goes, wherever the power is cut.
TEST(ConversionJob, UnmarkedInputOutlivesACrashAtAnyOperation) {
  const string unmarked_input = "/d/0501/A.dat";
  auto unmarked_scene = [&] {
    MemoryFileSystem files;
    files.put(unmarked_input, scene().content(kInput));
    return files;
  };
  MemoryFileSystem clean = unmarked_scene();
  job::run_conversion(clean, unmarked_input);
  const auto expected = visible_state(clean);
  for (int n = 1;; ++n) {
    SCOPED_TRACE("crash at operation " + std::to_string(n));
    MemoryFileSystem files = unmarked_scene();
    files.crash_at_operation(n);
    bool stopped = false;
    try {
      job::run_conversion(files, unmarked_input);
    } catch (const MemoryFileSystem::Crash&) {
      stopped = true;
    }
    if (!stopped) files.cut_power();
    files.fail_operation(0);
    job::run_conversion(files, unmarked_input);
    EXPECT_TRUE(visible_state(files) == expected);
    if (!stopped) break;
  }
}

// The input's folder is moved away after the input was opened, and another put at its path: the
// main output is made in that other folder, whose sync makes its name last before the input goes.
TEST(ConversionJob, MainOutputInAnotherFolderThanTheInputOutlivesACrash) {
  for (int n = 1;; ++n) {
    SCOPED_TRACE("crash at operation " + std::to_string(n));
    MemoryFileSystem files;
    files.put("/d/0501/A.dat", scene().content(kInput));
    files.main_output_folder_moved["/d/0501/"] = "/e/";
    files.crash_at_operation(n);
    bool stopped = false;
    try {
      job::run_conversion(files, "/d/0501/A.dat");
    } catch (const MemoryFileSystem::Crash&) {
      stopped = true;
    }
    if (!stopped) files.cut_power();
    if (!files.has("/d/0501/A.dat")) {
      EXPECT_EQ(files.content("/e/A.dat.txt").size(), 36u * 258);
    }
    if (!stopped) break;
  }
}

// The power goes while a failed run takes back its appends, at every operation of that, and
// once it has: the retry still appends once.
TEST(ConversionJob, CrashWhileAFailedRunCleansUpThenRetryEqualsOneCleanRun) {
  MemoryFileSystem clean = scene();
  job::run_conversion(clean, kInput);
  for (int n = 1;; ++n) {
    for (int m = n + 1;; ++m) {
      SCOPED_TRACE("failure at operation " + std::to_string(n) + ", crash at " + std::to_string(m));
      MemoryFileSystem files = scene();
      files.fail_then_crash(n, m);
      try {
        job::run_conversion(files, kInput);
        return;  // the run no longer reaches operation n
      } catch (const textfile::FileFailure&) {
      } catch (const MemoryFileSystem::Crash&) {
      }
      // Its clean-up no longer reaches operation m: the power goes once it is done, the last time.
      bool cleaned_up = !files.crashed();
      if (cleaned_up) files.cut_power();
      files.fail_operation(0);
      job::run_conversion(files, kInput);
      EXPECT_TRUE(visible_state(files) == visible_state(clean));
      if (cleaned_up) break;
    }
  }
}

// A split output exists only once records have gone to it: a run that created it and then
// failed, at any operation, leaves none behind, unless it got as far as a complete one.
TEST(ConversionJob, FailedRunLeavesNoSplitOutputOfItsOwn) {
  MemoryFileSystem clean = scene();
  clean.erase(kSplit);
  job::run_conversion(clean, kInput);
  for (int n = 1;; ++n) {
    SCOPED_TRACE("failure of operation " + std::to_string(n));
    MemoryFileSystem files = scene();
    files.erase(kSplit);
    files.fail_operation(n);
    try {
      job::run_conversion(files, kInput);
      break;
    } catch (const textfile::FileFailure&) {
      if (files.has(kSplit)) {
        EXPECT_EQ(files.content(kSplit), clean.content(kSplit));
      }
    }
  }
}

// The records of scene()'s input for one output, written independently of the program: per line
// the type-1 record as it stands, then the type-2 and type-3 continuations filled at 49 and 53.
string scene_records(bool split) {
  string records;
  for (int line = 0; line < 12; ++line) {
    for (char type : split ? string("2") : string("13")) {
      string record = "K000" + string(1, type) + string(251, 'a' + line);
      if (type != '1') record[48] = record[52] = '-';
      records += record + "\r\n";
    }
  }
  return records;
}

// A run is killed at every operation in turn and retried while its input is there; then a new
// input of the same name and content arrives and is converted. Where the file system hands a
// deleted file's number to the next file and records no birth time, that next input looks like
// the first in every way but its pin: its records must still reach the split output, once.
TEST(ConversionJob, EveryInputOfANameReachesTheSplitOutputOnceAfterACrashAnywhere) {
  const string records = scene_records(true);
  struct Kind {
    bool birth_times;
    bool hard_links;
  };
  for (Kind kind : {Kind{true, true}, Kind{false, true}, Kind{true, false}}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE("birth times " + std::to_string(kind.birth_times) + ", hard links " +
                   std::to_string(kind.hard_links) + ", crash at operation " + std::to_string(n));
      MemoryFileSystem files;
      files.birth_times = kind.birth_times;
      files.hard_links = kind.hard_links;
      MemoryFileSystem pristine = scene();
      const string input = pristine.content(kInput);
      files.put(kInput, input);
      files.put(kSplit, kSplitBefore);
      files.crash_at_operation(n);
      try {
        job::run_conversion(files, kInput);
        break;  // the run no longer reaches operation n
      } catch (const MemoryFileSystem::Crash&) {
      }
      files.crash_at_operation(0);
      if (files.has(kInput)) job::run_conversion(files, kInput);
      ASSERT_FALSE(files.has(kInput));
      files.put(kInput, input);
      job::run_conversion(files, kInput);
      EXPECT_FALSE(files.has(kInput));
      EXPECT_EQ(files.content(kSplit), kSplitBefore + records + records);
      EXPECT_EQ(files.content(kMain), scene_records(false));
    }
  }
}

// Where neither a pin nor a birth time can tell the input of a complete record from a later
// file, the run fails naming the record, and touches nothing.
TEST(ConversionJob, CompleteRecordThatCannotBeToldFailsTouchingNothing) {
  const string input = scene().content(kInput);
  // The first crash that leaves the record without its input: after the input's removal.
  for (int n = 1;; ++n) {
    MemoryFileSystem attempt = scene();
    attempt.birth_times = false;
    attempt.hard_links = false;
    attempt.crash_at_operation(n);
    try {
      job::run_conversion(attempt, kInput);
      break;
    } catch (const MemoryFileSystem::Crash&) {
    }
    if (attempt.has(kInput) || !attempt.has("/d/1101/.A.dat.txt.undo")) continue;
    attempt.crash_at_operation(0);
    attempt.put(kInput, input);
    const auto before = attempt.contents();
    EXPECT_EQ(fails_naming_the_record(attempt, before.at(kSplit)), "cannot trust");
    return;
  }
  FAIL() << "no crash left a complete record without its input";
}

// A record of an earlier version knows no state and, without a birth time, names its input by
// number alone: acted on only when its input is provably gone.
TEST(ConversionJob, EarlierVersionRecordWithoutBirthTimeIsNotGuessed) {
  for (bool input_there : {false, true}) {
    SCOPED_TRACE(input_there);
    MemoryFileSystem files = scene();
    const string split = kSplitBefore + "K0002 appended by a run of an earlier version\r\n";
    files.put(kSplit, split);
    const textfile::FileIdentity input = files.identity(kInput);
    const string other = input_there ? kInput : "/d/0502/gone.dat";
    files.put("/d/1101/.A.dat.txt.undo",
              "zorvant undo 1\n" + std::to_string(kSplitBefore.size()) + " 1 " +
                  std::to_string(files.identity(kSplit).index) + " 1 " +
                  std::to_string(input_there ? input.index : 99) + " " +
                  std::to_string(other.size()) + "\n" + other + "\nend\n");
    if (input_there) {
      EXPECT_THROW(job::run_conversion(files, kInput), textfile::FileFailure);
      EXPECT_EQ(files.content(kSplit), split);
      EXPECT_TRUE(files.has(kInput));
    } else {
      job::run_conversion(files, kInput);
      EXPECT_EQ(files.content(kSplit), split + scene_records(true));
    }
  }
}

// A record the run must not act on: another program shortened the split output below what an
// unfinished run's record says (it is never lengthened), or someone else could have written the
// record (it would cut back records it does not own). The run fails, naming the record, and
// touches nothing.
TEST(ConversionJob, RecordThatCannotBeActedOnFailsTouchingNothing) {
  const struct {
    const char* why;
    std::uint64_t split_length;
    int owner;
    bool writable_by_others;
    std::size_t cut_to;  // bytes of the record left by damage; 0: whole
  } records[] = {
      {"split output shorter", kSplitBefore.size() + 1000, 0, false, 0},
      {"another user's", 3, 7, false, 0},
      {"writable by others", 3, 0, true, 0},
      {"cut short", 3, 0, false, 40},
  };
  for (const auto& planted : records) {
    SCOPED_TRACE(planted.why);
    MemoryFileSystem files = scene();
    job::UndoRecord record;
    record.split_length = planted.split_length;
    record.split_identity = files.identity(kSplit);
    record.attempt = "0123456789ab";
    record.input_path = kInput;
    const string text = record.encode();
    MemoryFileSystem::File& file = files.put(
        "/d/1101/.A.dat.txt.undo", planted.cut_to ? text.substr(0, planted.cut_to) : text);
    file.owner = planted.owner;
    file.writable_by_others = planted.writable_by_others;
    fails_naming_the_record(files, kSplitBefore);
  }
}

// A complete record finds its input's folder by that folder's identity, whatever path named it
// then (a working folder removed since, a link pointed elsewhere): the retry of that input
// consumes it and appends nothing. A folder no path leads to any more is never taken for one
// whose pin is gone: the run fails naming the record, and touches nothing.
TEST(ConversionJob, CompleteRecordFindsItsInputFolderByIdentityOrFails) {
  for (bool reachable : {true, false}) {
    SCOPED_TRACE(reachable);
    MemoryFileSystem files = scene();
    const string split = kSplitBefore + scene_records(true);
    files.put(kSplit, split);
    job::UndoRecord record;
    record.state = job::UndoRecord::State::kComplete;
    record.split_length = kSplitBefore.size();
    record.split_end = split.size();
    record.split_identity = files.identity(kSplit);
    record.input_identity = files.identity(kInput);
    record.input_size = files.content(kInput).size();
    record.input_modified = files.file(kInput).modified;
    record.attempt = "0123456789ab";
    record.pinned = true;
    record.input_path = reachable ? "/job1/../d/0502/A.dat" : "/gone/0502/A.dat";
    record.input_folder =
        reachable ? files.folder_identity("/d/0502/") : textfile::FileIdentity{2, 7};
    files.missing_folders = {"/job1/../d/0502/", "/gone/0502/"};
    files.link(reachable ? "/d/0502/.zorvant-0123456789ab.converted"
                         : "/gone/0502/.zorvant-0123456789ab.converted",
               kInput);
    files.put("/d/1101/.A.dat.txt.undo", record.encode());
    if (reachable) {
      job::run_conversion(files, kInput);
      EXPECT_EQ(files.content(kSplit), split);
      EXPECT_EQ(files.contents().size(), 2u) << "left the input, its pin or the record";
      continue;
    }
    fails_naming_the_record(files, split);
  }
}

// The crash model the tests above rest on: a name made (an output, a record beside it, a pin)
// lasts only once its folder is synced, whatever was synced of the file itself.
TEST(MemoryFileSystem, NamesLastOnlyOnceTheirFolderIsSynced) {
  for (bool synced : {false, true}) {
    MemoryFileSystem files = scene();
    auto input = files.open_input(kInput);
    auto output = files.open_main_output(kMain, input->identity());
    output->write("x", 1);
    output->sync();
    output->write_file_beside(".record", "r");
    ASSERT_TRUE(input->pin(".pin"));
    if (synced) output->sync_folder();
    files.cut_power();
    for (const string& name : {kMain, string("/d/0502/.record"), string("/d/0502/.pin")}) {
      EXPECT_EQ(files.has(name), synced) << name;
    }
    EXPECT_EQ(files.content(kMain), synced ? "x" : "");
  }
}

TEST(ConversionJob, OpeningAFileAsMainOutputDropsItsUndoRecord) {
  MemoryFileSystem files;
  files.put("/d/1101/A.dat", "K0001\r\n");
  files.put("/d/1101/.A.dat.txt.undo", "anything");
  job::run_conversion(files, "/d/1101/A.dat");
  EXPECT_FALSE(files.has("/d/1101/.A.dat.txt.undo"));
  EXPECT_EQ(files.content("/d/1101/A.dat.txt"), "K0001\r\n");
}

TEST(UndoRecord, SurvivesAnyPathAndRejectsDamagedText) {
  job::UndoRecord record;
  record.state = job::UndoRecord::State::kComplete;
  record.split_length = 123456789012ull;
  record.split_end = 123456789999ull;
  record.split_identity = {7, 8, 0, 11};
  record.input_identity = {9, 10, 12, 13};
  record.input_size = 14;
  record.input_modified = 15;
  record.attempt = job::new_attempt();
  record.pinned = true;
  record.input_path = " /odd\npath\n\xff end\n";
  record.input_folder = {16, 17, 18, 19};
  std::optional<job::UndoRecord> back = job::UndoRecord::decode(record.encode());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->encode(), record.encode());
  EXPECT_EQ(back->input_folder, record.input_folder);
  EXPECT_EQ(back->state, record.state);
  EXPECT_EQ(back->input_path, record.input_path);
  string text = record.encode();
  const string completion = record.completion();
  const string appending = text.substr(0, text.size() - completion.size());
  for (std::size_t cut : {std::size_t{0}, std::size_t{10}, appending.size() - 1}) {
    EXPECT_FALSE(job::UndoRecord::decode(text.substr(0, cut))) << cut;
  }
  EXPECT_FALSE(job::UndoRecord::decode(text + "x"));
  string wrong_end_mark = appending;
  wrong_end_mark[appending.size() - 2] = 'x';  // "enx": of the right length, but not written whole
  EXPECT_FALSE(job::UndoRecord::decode(wrong_end_mark));
  // A completion that a power cut left torn (cut short, zeros where blocks never got written, a
  // line that does not add up) was never durable: the record stays appending.
  string zeroed = completion;
  zeroed.replace(0, 9, 9, '\0');
  string miscounted = completion;
  miscounted[9] = miscounted[9] == '1' ? '2' : '1';
  for (const string& torn :
       {completion.substr(0, 1), completion.substr(0, completion.size() - 1), zeroed, miscounted}) {
    std::optional<job::UndoRecord> read = job::UndoRecord::decode(appending + torn);
    ASSERT_TRUE(read) << torn;
    EXPECT_EQ(read->state, job::UndoRecord::State::kAppending) << torn;
    EXPECT_EQ(read->split_length, record.split_length);
  }
  // The version before wrote a complete record whole: a retry after its run may need it.
  std::optional<job::UndoRecord> earlier = job::UndoRecord::decode(
      "zorvant undo 4\ncomplete 0123456789ab 5 9 1 2 0 3 1 4 0 6 7 8 1 3\n1 2 0 3\n/in\nend\n");
  ASSERT_TRUE(earlier);
  EXPECT_EQ(earlier->state, job::UndoRecord::State::kComplete);
  EXPECT_EQ(earlier->split_end, 9u);
  EXPECT_TRUE(earlier->pinned);
  EXPECT_NE(job::new_attempt(), job::new_attempt());
}

// The record sits beside its output, hidden, under a name the file system takes.
TEST(UndoRecord, PathIsAHiddenNameBesideTheOutput) {
  MemoryFileSystem files;
  EXPECT_EQ(job::undo_record_path(files, "/d/1101/A.dat.txt"), "/d/1101/.A.dat.txt.undo");
  // Where the path syntax makes a backslash an ordinary character of a name.
  EXPECT_EQ(job::undo_record_path(files, "/d/a\\1101.txt"), "/d/.a\\1101.txt.undo");
  std::string record = job::undo_record_path(files, "/d/" + string(246, 'n'));
  EXPECT_EQ(record.rfind('/'), 2u);
  EXPECT_EQ(record.substr(3, 9), ".zorvant-");
  EXPECT_LE(record.size() - 3 + 4, 255u);  // with ".new" too
}

}  // namespace
