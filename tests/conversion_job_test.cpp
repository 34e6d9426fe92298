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

// Every operation of a run fails in turn, and separately the run is killed at every operation.
// After a failure the input is kept byte for byte and the split output holds no partial
// records; after either, a plain retry leaves exactly what one clean run leaves.
TEST(ConversionJob, RetryAfterAFailureOrCrashAtAnyOperationEqualsOneCleanRun) {
  MemoryFileSystem clean = scene();
  const string input = clean.content(kInput);
  job::run_conversion(clean, kInput);
  const auto expected = visible_state(clean);
  const string complete_split = clean.content(kSplit);

  for (bool crash : {false, true}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE((crash ? "crash at operation " : "failure of operation ") + std::to_string(n));
      MemoryFileSystem files = scene();
      crash ? files.crash_at_operation(n) : files.fail_operation(n);
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
      if (!stopped) break;  // the run no longer reaches operation n

      files.fail_operation(0);
      job::run_conversion(files, kInput);
      EXPECT_TRUE(visible_state(files) == expected);
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

// The earlier run's input is looked up by the path and identity its record holds. A later file
// that the system gave the same index is not that input, and a failed look-up is no proof that
// the input is gone: the run fails before touching anything.
TEST(ConversionJob, UndoesAnEarlierRunOnlyWhileItsInputExists) {
  enum Input { kGone, kExists, kLaterFileWithSameIndex, kCannotLookUp };
  const string other = "/d/0502/other.dat";
  for (Input input : {kGone, kExists, kLaterFileWithSameIndex, kCannotLookUp}) {
    SCOPED_TRACE(input);
    MemoryFileSystem files = scene();
    files.put(kSplit, kSplitBefore + "K0002 appended by a run that was killed\r\n");
    job::UndoRecord record{kSplitBefore.size(), files.identity(kSplit), {1, 99, 0, 990}, other};
    files.put("/d/1101/.A.dat.txt.undo", record.encode());
    if (input != kGone) {
      MemoryFileSystem::File& later = files.put(other, "K0002\r\n");
      later.index = 99;
      later.incarnation = input == kLaterFileWithSameIndex ? 991 : 990;
    }
    if (input == kCannotLookUp) files.lookup_errors[other] = ENAMETOOLONG;
    const string split_before = files.content(kSplit);

    if (input == kCannotLookUp) {
      EXPECT_THROW(job::run_conversion(files, kInput), textfile::FileFailure);
      EXPECT_EQ(files.content(kSplit), split_before);
      EXPECT_TRUE(files.has(kInput));
      continue;
    }
    job::run_conversion(files, kInput);
    EXPECT_EQ(files.content(kSplit).find("killed") != string::npos, input != kExists);
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
  job::UndoRecord record{
      123456789012ull, {7, 8, 0, 11}, {9, 10, 12, 13}, " /odd\npath\n\xff end\n"};
  std::optional<job::UndoRecord> back = job::UndoRecord::decode(record.encode());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->split_length, record.split_length);
  EXPECT_EQ(back->split_identity, record.split_identity);
  EXPECT_EQ(back->input_identity, record.input_identity);
  EXPECT_EQ(back->input_path, record.input_path);
  string text = record.encode();
  for (std::size_t cut : {std::size_t{0}, std::size_t{10}, text.size() - 1}) {
    EXPECT_FALSE(job::UndoRecord::decode(text.substr(0, cut))) << cut;
  }
  EXPECT_FALSE(job::UndoRecord::decode(text + "x"));
  string wrong_end_mark = text;
  wrong_end_mark[text.size() - 2] = 'x';  // "enx": of the right length, but not written whole
  EXPECT_FALSE(job::UndoRecord::decode(wrong_end_mark));
}

// A record the previous version of the program left before a crash is still acted on: it
// names its files by volume and index alone.
TEST(UndoRecord, ReadsTheFirstVersion) {
  std::optional<job::UndoRecord> record =
      job::UndoRecord::decode("zorvant undo 1\n5 1 2 1 3 5\n/in/A\nend\n");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->input_path, "/in/A");
  EXPECT_TRUE(job::UndoRecord::names(record->input_identity, {1, 3, 0, 12345}));
  EXPECT_FALSE(job::UndoRecord::names(record->input_identity, {1, 4, 0, 12345}));
}

// The record sits beside its output, hidden, under a name the file system takes.
TEST(UndoRecord, PathIsAHiddenNameBesideTheOutput) {
  EXPECT_EQ(job::undo_record_path("/d/1101/A.dat.txt"), "/d/1101/.A.dat.txt.undo");
#ifndef _WIN32
  // A backslash is an ordinary character of a name here.
  EXPECT_EQ(job::undo_record_path("/d/a\\1101.txt"), "/d/.a\\1101.txt.undo");
#endif
  std::string record = job::undo_record_path("/d/" + string(246, 'n'));
  EXPECT_EQ(record.rfind('/'), 2u);
  EXPECT_EQ(record.substr(3, 9), ".zorvant-");
  EXPECT_LE(record.size() - 3 + 4, 255u);  // with ".new" too
}

}  // namespace
