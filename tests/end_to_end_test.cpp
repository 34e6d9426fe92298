// End-to-end tests: run the real zorvant binary on files in a scratch folder
// and compare every output byte for byte.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "job/write_behind.h"
#include "program_runner.h"
#include "temp_folder.h"

namespace {

const std::string kCrLf = "\r\n";
// Shift_JIS double-byte characters; together they cover both trail byte ranges.
const std::string kHira = "\x82\xA0";       // hiragana "a", trail byte in 0x80-0xFC
const std::string kWideBlank = "\x81\x40";  // full-width blank, trail byte in 0x40-0x7E
const std::string kWideTwo = "\x82\x51";    // full-width "2", which is not the byte '2'

std::string Rep(char c, int count) { return std::string(count, c); }

std::string Rep(const std::string& piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

// Output lines as the program writes them: each one closed by CR LF.
std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + kCrLf;
  return text;
}

struct Case {
  std::string input;
  std::string expected;
};

class ZorvantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(ZORVANT_PROGRAM, X_OK), 0) << "no program at " << ZORVANT_PROGRAM;
  }

  RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) {
    RunResult result = RunProgram(ZORVANT_PROGRAM, args, options);
    EXPECT_FALSE(result.timed_out) << "zorvant did not finish";
    EXPECT_EQ(result.term_signal, 0) << "zorvant killed by a signal";
    return result;
  }

  // Runs in the scratch folder on a path given relative to it.
  RunResult RunHere(const std::string& relative, const RunOptions& options = {}) {
    RunOptions here = options;
    here.working_directory = tmp_.root();
    return Run({relative}, here);
  }

  RunResult RunOn(const std::string& relative, const RunOptions& options = {}) {
    return Run({tmp_.Path(relative)}, options);
  }

  static void ExpectSilentSuccess(const RunResult& result) {
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }

  // A failure is one stderr line naming `path`, ending with the system text for `error`.
  static void ExpectFailure(const RunResult& result, const std::string& path, int error) {
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    const std::string tail =
        "'" + path + "': " + std::strerror(error) + " (error " + std::to_string(error) + ")\n";
    const std::string& err = result.err;
    EXPECT_EQ(err.rfind("zorvant: ", 0), 0u) << err;
    EXPECT_TRUE(err.size() >= tail.size() &&
                err.compare(err.size() - tail.size(), tail.size(), tail) == 0)
        << "got:      " << err << "expected: ..." << tail;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }

  // Converts `input` stored as `name`; expects a silent success that deletes the
  // input and returns the main output.
  std::optional<std::string> Convert(const std::string& name, const std::string& input) {
    tmp_.Write(name, input);
    ExpectSilentSuccess(RunOn(name));
    EXPECT_FALSE(tmp_.Exists(name)) << "input not deleted: " << name;
    return tmp_.Read(name + ".txt");
  }

  // Each call uses a fresh name so one case never sees another's leftovers.
  std::optional<std::string> ConvertUnmarked(const std::string& input) {
    return Convert("in" + std::to_string(++serial_) + ".dat", input);
  }

  struct Outputs {
    std::optional<std::string> main;
    std::optional<std::string> split;
  };

  // Converts a marked input 0502/inN.dat; its split folder 1101/ exists.
  Outputs ConvertMarked(const std::string& input) {
    const std::string name = "in" + std::to_string(++serial_) + ".dat";
    tmp_.MakeFolder("1101");
    Outputs outputs;
    outputs.main = Convert("0502/" + name, input);
    outputs.split = tmp_.Read("1101/" + name + ".txt");
    return outputs;
  }

  // Puts a chmod'ed input in place and converts it, expecting the refused delete.
  void ExpectKeptReadOnly(const std::string& name, const std::string& input, mode_t mode) {
    tmp_.Write(name, input);
    ASSERT_EQ(chmod(tmp_.Path(name).c_str(), mode), 0);
    ExpectFailure(RunOn(name), tmp_.Path(name), EACCES);
    EXPECT_EQ(tmp_.Read(name), input);
  }

  TempFolder tmp_;
  int serial_ = 0;
};

TEST_F(ZorvantTest, EmptyArgumentTextDoesNothing) {
  tmp_.Write("keep.dat", "abc\r\n");
  const std::vector<std::string> before = tmp_.List();
  RunOptions here;
  here.working_directory = tmp_.root();
  ExpectSilentSuccess(Run({}, here));
  ExpectSilentSuccess(Run({""}, here));
  EXPECT_EQ(tmp_.List(), before);
}

TEST_F(ZorvantTest, ArgumentsAreJoinedIntoOnePathWithoutOptions) {
  tmp_.Write("two words.dat", "a\r");
  tmp_.Write("--help", "h");
  tmp_.Write("x  y.dat", "b");
  RunOptions here;
  here.working_directory = tmp_.root();
  ExpectSilentSuccess(Run({"two", "words.dat"}, here));
  ExpectSilentSuccess(Run({"--help"}, here));
  ExpectSilentSuccess(Run({"x", "", "y.dat"}, here));
  EXPECT_EQ(tmp_.Read("two words.dat.txt"), "a\r\n");
  EXPECT_EQ(tmp_.Read("--help.txt"), "h\r\n");
  EXPECT_EQ(tmp_.Read("x  y.dat.txt"), "b\r\n");
  EXPECT_EQ(tmp_.List(),
            (std::vector<std::string>{"--help.txt", "two words.dat.txt", "x  y.dat.txt"}));
}

TEST_F(ZorvantTest, IgnoresPathsThatAreNotVisibleRegularFiles) {
  tmp_.Write("keep.dat", "keep\r");
  tmp_.Write(".hidden.dat", "secret\r");
  tmp_.Write("sub/.also-hidden", "x");
  tmp_.MakeFolder("folder.dat");
  ASSERT_EQ(mkfifo(tmp_.Path("pipe.dat").c_str(), 0644), 0);
  ASSERT_EQ(symlink("nowhere.dat", tmp_.Path("broken.dat").c_str()), 0);
  ASSERT_EQ(symlink("folder.dat", tmp_.Path("folder-link.dat").c_str()), 0);
  ASSERT_EQ(symlink("keep.dat", tmp_.Path(".hidden-link.dat").c_str()), 0);
  {
    // A socket file stays behind after its descriptor is closed.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = tmp_.Path("socket.dat");
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
  }
  const std::vector<std::string> before = tmp_.List();
  for (const char* name :
       {"folder.dat", "pipe.dat", "socket.dat", "broken.dat", "folder-link.dat", "missing.dat",
        ".hidden.dat", ".hidden-link.dat", "sub/.also-hidden", "missing/x.dat"}) {
    SCOPED_TRACE(name);
    const RunResult result = RunOn(name, RunOptions{"", -1, 5});
    ExpectSilentSuccess(result);
  }
  EXPECT_EQ(tmp_.List(), before);
  EXPECT_EQ(tmp_.Read(".hidden.dat"), "secret\r");
  EXPECT_EQ(tmp_.Read("keep.dat"), "keep\r");
}

TEST_F(ZorvantTest, FollowsSymlinksAndVisibleNamesInHiddenFolders) {
  tmp_.Write("target.bin", "L1\rL2");
  ASSERT_EQ(symlink("target.bin", tmp_.Path("link.dat").c_str()), 0);
  EXPECT_EQ(Convert("link.dat", "L1\rL2").value_or("<missing>"), "L1\r\nL2\r\n");

  // Only the name as given counts as hidden, not the link's target.
  tmp_.Write(".secret", "s");
  ASSERT_EQ(symlink(".secret", tmp_.Path("shown.dat").c_str()), 0);
  ExpectSilentSuccess(RunOn("shown.dat"));
  EXPECT_EQ(tmp_.Read("shown.dat.txt"), "s\r\n");
  EXPECT_FALSE(tmp_.Exists("shown.dat"));

  EXPECT_EQ(Convert(".hidden/a.dat", "h"), "h\r\n");
}

TEST_F(ZorvantTest, MainOutputNameIsInputPlusTxtAndReplacesOldContent) {
  EXPECT_EQ(Convert("a.txt", "one"), "one\r\n");
  EXPECT_FALSE(tmp_.Exists("a.txt"));
  EXPECT_EQ(Convert("README", "two\r\n"), "two\r\n");
  tmp_.Write("b.dat.txt", "an older and much longer output\r\n");
  EXPECT_EQ(Convert("b.dat", "new"), "new\r\n");
  EXPECT_EQ(tmp_.List(), (std::vector<std::string>{"README.txt", "a.txt.txt", "b.dat.txt"}));
}

TEST_F(ZorvantTest, EmptyInputIsDeletedWithoutOutputButEmptyLinesGiveEmptyOutput) {
  tmp_.MakeFolder("1101");
  tmp_.Write("empty.dat", "");
  tmp_.Write("0502/empty.dat", "");
  ExpectSilentSuccess(RunOn("empty.dat"));
  ExpectSilentSuccess(RunOn("0502/empty.dat"));
  EXPECT_EQ(tmp_.List(), (std::vector<std::string>{"0502/", "1101/"}));

  EXPECT_EQ(Convert("blank.dat", "\r\r\n\r"), "");
  EXPECT_EQ(Convert("0502/blank.dat", "\r\n\r\n"), "");
  EXPECT_FALSE(tmp_.Exists("1101/blank.dat.txt"));
}

TEST_F(ZorvantTest, LineEndsAreCrOrCrLfAndLoneLfIsACharacter) {
  const std::vector<Case> cases = {
      {"abc", "abc\r\n"},
      {"abc\r", "abc\r\n"},
      {"abc\r\n", "abc\r\n"},
      {"a\rb\r\nc", "a\r\nb\r\nc\r\n"},
      {"a\r\n\r\nb\r\n", "a\r\nb\r\n"},
      {"a\r\r\nb", "a\r\nb\r\n"},
      {"\r\na", "a\r\n"},
      {"x\ny\n", "x\ny\n\r\n"},
      {"\n", "\n\r\n"},
      {"a\n\r\nb", "a\n\r\nb\r\n"},
      {"a\n\rb", "a\n\r\nb\r\n"},
      // The LF is the 256th character, so it closes the first record.
      {Rep('A', 255) + "\nB\r\n", Lines({Rep('A', 255) + "\n", "B"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    EXPECT_EQ(ConvertUnmarked(c.input), c.expected);
  }
}

TEST_F(ZorvantTest, LinesAreCutIntoRecordsOf256Characters) {
  const std::string a256 = Rep('a', 256);
  const std::vector<Case> cases = {
      {Rep('a', 255), Lines({Rep('a', 255)})},
      {a256 + "\r\n", Lines({a256})},
      {a256 + "b", Lines({a256, "b"})},
      {a256 + Rep('b', 256) + "\r", Lines({a256, Rep('b', 29) + "-bbb-" + Rep('b', 222)})},
      {a256 + Rep('b', 256) + "c", Lines({a256, Rep('b', 29) + "-bbb-" + Rep('b', 222), "c"})},
      // Every continuation record is filled, the third as much as the second.
      {Rep('y', 600), Lines({Rep('y', 256), Rep('y', 29) + "-yyy-" + Rep('y', 222),
                             Rep('y', 29) + "-yyy-" + Rep('y', 54)})},
      {Rep('a', 257) + "\r" + "bcd", Lines({a256, "a", "bcd"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size());
    EXPECT_EQ(ConvertUnmarked(c.input), c.expected);
  }
}

TEST_F(ZorvantTest, RecordLengthCountsShiftJisCharactersNotBytes) {
  EXPECT_EQ(ConvertUnmarked(Rep(kHira, 256)), Lines({Rep(kHira, 256)}));
  EXPECT_EQ(ConvertUnmarked(Rep(kHira, 257)), Lines({Rep(kHira, 256), kHira}));
  EXPECT_EQ(ConvertUnmarked(Rep('A', 255) + kHira + "BBB"), Lines({Rep('A', 255) + kHira, "BBB"}));
  // A lead byte without a valid trail is a character of its own, also at the end.
  EXPECT_EQ(ConvertUnmarked("ab\x81"), Lines({"ab\x81"}));
  EXPECT_EQ(ConvertUnmarked("AAA\x81\r\nZ"), Lines({"AAA\x81", "Z"}));

  // Each pair sits at the 256th position: a valid pair stays in the first
  // record, otherwise its second byte opens the next record.
  struct Pair {
    std::string bytes;
    bool is_one_character;
  };
  const std::vector<Pair> pairs = {
      {"\x81\x40", true},  {"\x81\x7E", true},  {"\x81\x80", true},  {"\x81\x81", true},
      {"\x81\xFC", true},  {"\x9F\x40", true},  {"\xE0\x40", true},  {"\xFC\xFC", true},
      {"\x81\x3F", false}, {"\x81\x7F", false}, {"\x81\xFD", false}, {"\x80\x40", false},
      {"\xA0\x40", false}, {"\xDF\x40", false}, {"\xFD\x40", false}, {"\xFF\x40", false},
      {"\x81\n", false},
  };
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(testing::PrintToString(pair.bytes));
    const std::string head = Rep('A', 255);
    const std::string expected = pair.is_one_character
                                     ? Lines({head + pair.bytes, "Z"})
                                     : Lines({head + pair.bytes[0], pair.bytes.substr(1) + "Z"});
    EXPECT_EQ(ConvertUnmarked(head + pair.bytes + "Z"), expected);
  }
}

// The first record of every case is 256 non-blanks: it must come out untouched.
TEST_F(ZorvantTest, UnmarkedContinuationRecordsGetDashesAt30And34) {
  const std::string x = "x";
  const std::vector<Case> cases = {
      {Rep('x', 40), Rep('x', 29) + "-xxx-" + Rep('x', 6)},
      {Rep('x', 60), Rep('x', 29) + "-xxx-" + Rep('x', 26)},  // 49 and 53 untouched
      {Rep('x', 29) + " xxx " + Rep('x', 6), Rep('x', 29) + "-xxx-" + Rep('x', 6)},
      {Rep(' ', 40), Rep(' ', 40)},
      // One blank neighbour keeps that separator as it is.
      {Rep('x', 28) + " " + Rep('x', 11), Rep('x', 28) + " xxxx-" + Rep('x', 6)},
      {Rep('x', 30) + " " + Rep('x', 9), Rep('x', 30) + " xx-" + Rep('x', 6)},
      {Rep('x', 32) + " " + Rep('x', 7), Rep('x', 29) + "-xx " + Rep('x', 7)},
      {Rep('x', 34) + " " + Rep('x', 5), Rep('x', 29) + "-xxxx " + Rep('x', 5)},
      // Double-byte characters are non-blank; at a separator they become one byte.
      {Rep(kHira, 40), Rep(kHira, 29) + "-" + Rep(kHira, 3) + "-" + Rep(kHira, 6)},
      {Rep('x', 29) + kHira + Rep('x', 10), Rep('x', 29) + "-xxx-" + Rep('x', 6)},
      {Rep('x', 28) + kWideBlank + x + kWideBlank + Rep('x', 9),
       Rep('x', 28) + kWideBlank + "-" + kWideBlank + "xx-" + Rep('x', 6)},
      // Short records: missing neighbours count as non-blank, missing separators stay missing.
      {Rep('x', 28), Rep('x', 28)},
      {Rep('x', 29), Rep('x', 29)},
      {Rep('x', 30), Rep('x', 29) + "-"},
      {Rep('x', 29) + " ", Rep('x', 29) + "-"},
      {Rep('x', 29) + kHira, Rep('x', 29) + "-"},
      {Rep('x', 28) + "  ", Rep('x', 28) + "  "},
      {Rep('x', 31), Rep('x', 29) + "-x"},
      {Rep('x', 30) + " ", Rep('x', 30) + " "},
      {Rep('x', 32), Rep('x', 29) + "-xx"},
      {Rep('x', 33), Rep('x', 29) + "-xxx"},
      {Rep('x', 34), Rep('x', 29) + "-xxx-"},
      {Rep('x', 33) + kHira, Rep('x', 29) + "-xxx-"},
      {Rep('x', 35), Rep('x', 29) + "-xxx-x"},
      {Rep('x', 34) + " ", Rep('x', 29) + "-xxxx "},
  };
  const std::string first = Rep('F', 256);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    EXPECT_EQ(ConvertUnmarked(first + c.input + "\r\n"), Lines({first, c.expected}));
  }
}

TEST_F(ZorvantTest, MarkedContinuationRecordsGetDashesAt49And53) {
  const std::vector<Case> cases = {
      {Rep('x', 60), Rep('x', 48) + "-xxx-" + Rep('x', 7)},  // 30 and 34 untouched
      {Rep('x', 47) + " " + Rep('x', 12), Rep('x', 47) + " xxxx-" + Rep('x', 7)},
      {Rep('x', 53) + " " + Rep('x', 6), Rep('x', 48) + "-xxxx " + Rep('x', 6)},
      {Rep('x', 48) + kHira + "xxx" + kHira + Rep('x', 7), Rep('x', 48) + "-xxx-" + Rep('x', 7)},
      {Rep('x', 49) + kWideBlank + Rep('x', 10),
       Rep('x', 48) + "-" + kWideBlank + "xx-" + Rep('x', 7)},
      {Rep('x', 47), Rep('x', 47)},
      {Rep('x', 48), Rep('x', 48)},
      {Rep('x', 49), Rep('x', 48) + "-"},
      {Rep('x', 48) + kHira, Rep('x', 48) + "-"},
      {Rep('x', 50), Rep('x', 48) + "-x"},
      {Rep('x', 51), Rep('x', 48) + "-xx"},
      {Rep('x', 52), Rep('x', 48) + "-xxx"},
      {Rep('x', 53), Rep('x', 48) + "-xxx-"},
      {Rep('x', 52) + " ", Rep('x', 48) + "-xxx-"},
      {Rep('x', 54), Rep('x', 48) + "-xxx-x"},
  };
  const std::string first = Rep('F', 256);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    const Outputs outputs = ConvertMarked(first + c.input);
    EXPECT_EQ(outputs.main, Lines({first, c.expected}));
    EXPECT_EQ(outputs.split, std::nullopt);
  }
}

// Lines whose records differ in their 5th character, including double-byte
// characters that shift the 5th byte away from the 5th character.
const std::string kRoutingInput = "abcd2" + Rep('x', 251) + "abcdE" + Rep('x', 10) + "\r" +
                                  Rep('x', 256) + "00002" + Rep('x', 55) + "\r\n" + "abc2\r" +
                                  "abcd2\r" + "ab" + kHira + "2x\r" + kHira + "abc2\r" + "abcd" +
                                  kWideTwo + "\r" + "abcd22";

TEST_F(ZorvantTest, MarkedInputRoutesRecordsWhoseFifthCharacterIsTwo) {
  const Outputs outputs = ConvertMarked(kRoutingInput);
  EXPECT_EQ(outputs.main, Lines({"abcdE" + Rep('x', 10), Rep('x', 256), "abc2", "ab" + kHira + "2x",
                                 "abcd" + kWideTwo}));
  EXPECT_EQ(outputs.split, Lines({"abcd2" + Rep('x', 251), "00002" + Rep('x', 43) + "-xxx-xxxxxxx",
                                  "abcd2", kHira + "abc2", "abcd22"}));
}

// A marked input of some MiB, several times the program's reading and writing buffers and large
// enough for its outputs to be written on threads of their own, made of a few kinds of line
// whose records are written down here by hand: both outputs hold exactly those records, in order. A fault that every run makes shows here, where comparing one run with
// another cannot see it.
TEST_F(ZorvantTest, LargeInputGivesExactlyTheRecordsWrittenDownForIt) {
  struct Kind {
    std::string line;
    std::string main;
    std::string split;
  };
  const std::string a = Rep('a', 251);
  const std::string b = Rep('b', 251);
  const std::string dashed_b = Rep('b', 43) + "-bbb-" + Rep('b', 203);
  const std::string dashed_c = Rep('c', 43) + "-ccc-" + Rep('c', 203);
  const Kind kinds[] = {
      {"K0001" + a + "K0002" + b + "K0003" + Rep('c', 251) + kCrLf,
       Lines({"K0001" + a, "K0003" + dashed_c}), Lines({"K0002" + dashed_b})},
      {"K0002" + Rep(kHira, 251) + "\r", "", Lines({"K0002" + Rep(kHira, 251)})},
      {"K0001xxxxxxxxxx" + kCrLf, Lines({"K0001xxxxxxxxxx"}), ""},
      {"K0001" + a + "K0003" + Rep(kHira, 60) + kCrLf,
       Lines({"K0001" + a, "K0003" + Rep(kHira, 43) + "-" + Rep(kHira, 3) + "-" + Rep(kHira, 12)}),
       ""},
  };
  std::string input;
  std::string main;
  std::string split;
  unsigned pick = 1;
  while (input.size() < job::kWriteBehindFrom + (1u << 20)) {
    pick = pick * 1103515245u + 12345u;
    const Kind& kind = kinds[(pick >> 16) % 4];
    input += kind.line;
    main += kind.main;
    split += kind.split;
  }
  const Outputs outputs = ConvertMarked(input);
  auto first_difference = [](const std::optional<std::string>& got, const std::string& expected) {
    if (!got) return std::string("no output");
    auto at = std::mismatch(got->begin(), got->end(), expected.begin(), expected.end());
    return "sizes " + std::to_string(got->size()) + " and " + std::to_string(expected.size()) +
           ", first difference at byte " + std::to_string(at.first - got->begin());
  };
  EXPECT_TRUE(outputs.main == main) << first_difference(outputs.main, main);
  EXPECT_TRUE(outputs.split == split) << first_difference(outputs.split, split);
}

TEST_F(ZorvantTest, UnmarkedInputKeepsEveryRecordInMainOutput) {
  EXPECT_EQ(Convert("plain.dat", kRoutingInput),
            Lines({"abcd2" + Rep('x', 251), "abcdE" + Rep('x', 10), Rep('x', 256),
                   "00002" + Rep('x', 24) + "-xxx-" + Rep('x', 26), "abc2", "abcd2",
                   "ab" + kHira + "2x", kHira + "abc2", "abcd" + kWideTwo, "abcd22"}));
  EXPECT_EQ(tmp_.List(), std::vector<std::string>{"plain.dat.txt"});
}

TEST_F(ZorvantTest, SplitOutputIsAppendedToAndOnlyCreatedWhenUsed) {
  tmp_.Write("1101/a.dat.txt", "kept\r\n");
  tmp_.Write("0502/a.dat.txt", "stale output that is longer\r\n");
  EXPECT_EQ(Convert("0502/a.dat", "abcd2\rxyz"), "xyz\r\n");
  EXPECT_EQ(tmp_.Read("1101/a.dat.txt"), "kept\r\nabcd2\r\n");

  // No record for the split output: its missing folder does not matter.
  EXPECT_EQ(Convert("q/0502/b.dat", "abcd1\r\nxyz"), "abcd1\r\nxyz\r\n");
  EXPECT_FALSE(tmp_.Exists("q/1101"));

  // Every record goes to the split output, yet the main output is still created.
  tmp_.MakeFolder("r/1101");
  EXPECT_EQ(Convert("r/0502/c.dat", "abcd2\r\nxxxx2yyy"), "");
  EXPECT_EQ(tmp_.Read("r/1101/c.dat.txt"), "abcd2\r\nxxxx2yyy\r\n");
}

TEST_F(ZorvantTest, SplitPathReplacesOnlyTheFirstMark) {
  tmp_.MakeFolder("1101");
  EXPECT_EQ(Convert("0502/x0502.dat", "abcd2\rmain"), "main\r\n");
  EXPECT_EQ(tmp_.Read("1101/x0502.dat.txt"), "abcd2\r\n");

  EXPECT_EQ(Convert("05020502.dat", "abcd2\rmain"), "main\r\n");
  EXPECT_EQ(tmp_.Read("11010502.dat.txt"), "abcd2\r\n");
  EXPECT_EQ(tmp_.List(),
            (std::vector<std::string>{"0502/", "0502/x0502.dat.txt", "05020502.dat.txt", "1101/",
                                      "1101/x0502.dat.txt", "11010502.dat.txt"}));
}

TEST_F(ZorvantTest, RelativePathsAndJapaneseFolderNames) {
  const std::string katakana = "\x83\x66\x81\x5B\x83\x5E";  // three double-byte characters
  const std::string input = katakana + "x2\rmain";
  tmp_.Write("受信/0502データ/a.dat", input);
  tmp_.MakeFolder("受信/1101データ");
  ExpectSilentSuccess(RunHere("受信/0502データ/a.dat"));
  EXPECT_FALSE(tmp_.Exists("受信/0502データ/a.dat"));
  EXPECT_EQ(tmp_.Read("受信/0502データ/a.dat.txt"), "main\r\n");
  EXPECT_EQ(tmp_.Read("受信/1101データ/a.dat.txt"), katakana + "x2\r\n");

  // Only the path as given is looked at for the mark, not the working folder.
  tmp_.Write("w0502/in.dat", Rep('x', 256) + "abcd2" + Rep('x', 35));
  RunOptions inside;
  inside.working_directory = tmp_.Path("w0502");
  ExpectSilentSuccess(Run({"in.dat"}, inside));
  EXPECT_EQ(tmp_.Read("w0502/in.dat.txt"),
            Lines({Rep('x', 256), "abcd2" + Rep('x', 24) + "-xxx-" + Rep('x', 6)}));
  EXPECT_FALSE(tmp_.Exists("w0502/in.dat"));
}

TEST_F(ZorvantTest, MissingSplitFolderFailsAndKeepsInput) {
  const std::string input = "xyz\rabcd2\r";
  tmp_.Write("0502/a.dat", input);
  ExpectFailure(RunOn("0502/a.dat"), tmp_.Path("1101/a.dat.txt"), ENOENT);
  EXPECT_EQ(tmp_.Read("0502/a.dat"), input);
  EXPECT_FALSE(tmp_.Exists("1101"));

  // Control bytes in a path, DEL among them, are shown as escapes: a terminal shows the report
  // as it stands, on one line.
  tmp_.Write("c\x01\x1b\x7f/0502/a.dat", input);
  EXPECT_EQ(RunOn("c\x01\x1b\x7f/0502/a.dat").err,
            "zorvant: cannot append to '" + tmp_.root() +
                "/c\\x01\\x1b\\x7f/1101/a.dat.txt': " + std::strerror(ENOENT) + " (error 2)\n");
}

TEST_F(ZorvantTest, MainOutputThatIsAFolderFailsAndKeepsInput) {
  tmp_.Write("a.dat", "abc\r");
  tmp_.MakeFolder("a.dat.txt");
  ExpectFailure(RunOn("a.dat"), tmp_.Path("a.dat.txt"), EISDIR);
  EXPECT_EQ(tmp_.Read("a.dat"), "abc\r");
}

TEST_F(ZorvantTest, ReadOnlyInputIsConvertedButNotDeleted) {
  tmp_.MakeFolder("1101");
  ExpectKeptReadOnly("0502/a.dat", "abcd2\rxyz", 0444);
  EXPECT_EQ(tmp_.Read("0502/a.dat.txt"), "xyz\r\n");
  EXPECT_EQ(tmp_.Read("1101/a.dat.txt"), "abcd2\r\n");

  ExpectKeptReadOnly("b.dat", "b", 0500);
  EXPECT_EQ(tmp_.Read("b.dat.txt"), "b\r\n");
  ExpectKeptReadOnly("empty.dat", "", 0444);
  EXPECT_FALSE(tmp_.Exists("empty.dat.txt"));

  // A write bit for anyone at all makes the input deletable.
  tmp_.Write("c.dat", "c");
  ASSERT_EQ(chmod(tmp_.Path("c.dat").c_str(), 0020), 0);
  ExpectSilentSuccess(RunOn("c.dat"));
  EXPECT_FALSE(tmp_.Exists("c.dat"));
  EXPECT_EQ(tmp_.Read("c.dat.txt"), "c\r\n");
}

TEST_F(ZorvantTest, OutputOverFileSizeLimitFailsAndKeepsInput) {
  const std::string input = Rep(Rep('x', 200) + "\r", 40);
  tmp_.Write("big.dat", input);
  RunOptions limited;
  limited.file_size_limit = 4096;
  ExpectFailure(RunOn("big.dat", limited), tmp_.Path("big.dat.txt"), EFBIG);
  EXPECT_EQ(tmp_.Read("big.dat"), input);
}

// Without standard error the report goes to the system log, where an operator still finds it,
// and never into a file of the run that got standard error's number.
TEST_F(ZorvantTest, ReportGoesToTheSystemLogWithoutStandardError) {
  if (geteuid() != 0 || access("/dev/log", F_OK) == 0) {
    GTEST_SKIP() << "needs root, and /dev/log free for a listener of the test's own";
  }
  const int log = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << errno;
  const timeval wait{5, 0};
  setsockopt(log, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

  tmp_.Write("0502/a.dat", "abcd2\r");  // its split folder is missing
  RunOptions without_stderr;
  without_stderr.close_stderr = true;
  RunResult result = RunOn("0502/a.dat", without_stderr);
  char message[4096] = {};
  ssize_t got = recv(log, message, sizeof message - 1, 0);
  close(log);
  unlink("/dev/log");

  EXPECT_EQ(result.exit_code, 1);
  ASSERT_GT(got, 0) << "nothing reached the system log";
  const std::string text(message, static_cast<std::size_t>(got));
  EXPECT_EQ(text.rfind("<11>", 0), 0u) << text;  // facility user, priority err
  EXPECT_NE(text.find(" zorvant["), std::string::npos) << text;
  EXPECT_NE(text.find("zorvant: cannot append to '" + tmp_.Path("1101/a.dat.txt") + "'"),
            std::string::npos)
      << text;
  EXPECT_EQ(tmp_.Read("0502/a.dat"), "abcd2\r");
  EXPECT_EQ(tmp_.Read("0502/a.dat.txt"), "");
}

}  // namespace
