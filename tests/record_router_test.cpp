#include "job/record_router.h"

#include <gtest/gtest.h>

#include <string>

#include "route_in_blocks.h"

namespace {

using std::string;

const string kCrLf = "\r\n";

// Routes `input` whole and in blocks of every awkward size; all must give the same outputs.
Routed route(const string& input, bool marked = false) {
  Routed whole = route_in_blocks(input, marked, input.size() + 1);
  EXPECT_EQ(whole.left_over, "") << "bytes left over at the end of the input";
  for (std::size_t block : {1, 2, 3, 255, 256, 257, 511, 513}) {
    Routed pieces = route_in_blocks(input, marked, block);
    EXPECT_EQ(pieces.main, whole.main) << "blocks of " << block;
    EXPECT_EQ(pieces.split, whole.split) << "blocks of " << block;
    EXPECT_EQ(pieces.left_over, "") << "blocks of " << block;
    EXPECT_LT(pieces.most_held_back, 600u) << "blocks of " << block;
  }
  return whole;
}

string main_of(const string& input, bool marked = false) { return route(input, marked).main; }

string a(std::size_t n) { return string(n, 'A'); }

const string kKanji = "\x8a\xbf";      // one double-byte character
const string kWideBlank = "\x81\x40";  // full-width blank: not a blank for the fill

TEST(RecordCutting, CutsLinesIntoRecordsOf256Characters) {
  EXPECT_EQ(main_of(a(255) + kCrLf), a(255) + kCrLf);
  EXPECT_EQ(main_of(a(256) + kCrLf), a(256) + kCrLf);
  // The one-character continuation has no fill neighbours: it stays as it is.
  EXPECT_EQ(main_of(a(257) + kCrLf), a(256) + kCrLf + "A" + kCrLf);
  EXPECT_EQ(main_of(string(512, 'B')), string(256, 'B') + kCrLf + string(29, 'B') + "-" +
                                           string(3, 'B') + "-" + string(222, 'B') + kCrLf);
  EXPECT_EQ(main_of(string(513, 'B')).substr(2 * 258), "B" + kCrLf);
}

TEST(RecordCutting, CountsDoubleByteCharactersAsOne) {
  // The 256th character is double-byte: the first record is 257 bytes.
  EXPECT_EQ(main_of(a(255) + kKanji + "Z"), a(255) + kKanji + kCrLf + "Z" + kCrLf);
  string wide;
  for (int i = 0; i < 256; ++i) wide += kKanji;
  EXPECT_EQ(main_of(wide + kCrLf), wide + kCrLf);
  // A lead byte without a valid trail byte is a character of its own.
  EXPECT_EQ(main_of(a(255) + "\x81" + "\x31Z"), a(255) + "\x81" + kCrLf + "\x31Z" + kCrLf);
  EXPECT_EQ(main_of("\x81\rX"), "\x81" + kCrLf + "X" + kCrLf);
  EXPECT_EQ(main_of("X\x81"), "X\x81" + kCrLf);
}

TEST(RecordCutting, EndsLinesAtCarriageReturnsOnly) {
  EXPECT_EQ(main_of("A\rB\r\nC\nD\r\n\r\nE"),
            "A" + kCrLf + "B" + kCrLf + "C\nD" + kCrLf + "E" + kCrLf);
  EXPECT_EQ(main_of("\r\n\r\n\r"), "");
  // Every line starts over: the record after a line end is not a continuation.
  EXPECT_EQ(main_of(a(40) + "\r" + a(40) + "\r\n"), a(40) + kCrLf + a(40) + kCrLf);
  // A line feed alone does not end a line, so the second record here is a continuation.
  string lf_line = a(100) + "\n" + a(155) + string(40, 'C');
  EXPECT_EQ(main_of(lf_line),
            a(100) + "\n" + a(155) + kCrLf + string(29, 'C') + "-CCC-CCCCCC" + kCrLf);
}

TEST(SeparatorFill, FillsContinuationsWhereBothNeighboursAreNotBlank) {
  string second = string(28, 'x') + "1/2 3/45" + string(20, 'y');  // 29..35 = "1/2 3/4"
  EXPECT_EQ(main_of(a(256) + second).substr(258),
            string(28, 'x') + "1-2 3-45" + string(20, 'y') + kCrLf);
  string blank_neighbours = string(28, 'x') + " /2 3/ " + string(20, 'y');
  EXPECT_EQ(main_of(a(256) + blank_neighbours).substr(258), blank_neighbours + kCrLf);
  // Marked inputs fill 49 and 53 and never look at 30 and 34.
  string marked = string(47, 'm') + "1/2 3/4" + string(10, 'n');
  string marked_input = a(256) + marked;
  EXPECT_EQ(main_of(marked_input, true).substr(258),
            string(47, 'm') + "1-2 3-4" + string(10, 'n') + kCrLf);
  EXPECT_EQ(main_of(marked_input, false).substr(258),
            string(29, 'm') + "-mmm-" + marked.substr(34) + kCrLf);
}

TEST(SeparatorFill, TreatsDoubleByteCharactersAsWholeCharacters) {
  // A double-byte separator becomes the single "-": the record is one byte shorter.
  string prefix = string(28, 'x') + "1";
  EXPECT_EQ(main_of(a(256) + prefix + kKanji + "2" + "   ").substr(258), prefix + "-2   " + kCrLf);
  // Double-byte neighbours and a full-width blank count as not blank.
  string wide = string(28, 'x') + kKanji + "/" + kWideBlank + "   ";
  EXPECT_EQ(main_of(a(256) + wide).substr(258),
            string(28, 'x') + kKanji + "-" + kWideBlank + "   " + kCrLf);
  // Characters before the separators shift the byte offsets, not the positions.
  string shifted = kKanji + string(27, 'x') + "1/2";
  EXPECT_EQ(main_of(a(256) + shifted).substr(258), kKanji + string(27, 'x') + "1-2" + kCrLf);
}

// The router hands the fill the character starts its measuring found; a caller without them
// gets the same fill, the starts of a long record then found by the fill itself.
TEST(SeparatorFill, FindsTheCharactersOfALongRecordGivenNoStarts) {
  // Positions 48 to 54 (marked) are "1", a kanji, "2", " ", "3", "/", "4".
  const string record = kKanji + string(46, 'x') + "1" + kKanji + "2 3/4" + string(200, 'y');
  const string expected = kKanji + string(46, 'x') + "1-2 3-4" + string(200, 'y');
  for (const job::RecordFunctions* functions : job::record_functions_for_this_processor()) {
    string out(record.size(), '\0');
    std::size_t size = functions->fill_separators(
        reinterpret_cast<const std::uint8_t*>(record.data()), record.size(), true,
        reinterpret_cast<std::uint8_t*>(&out[0]), job::LeadingStarts{});
    EXPECT_EQ(out.substr(0, size), expected) << functions->name;
  }
}

TEST(SeparatorFill, ShortContinuationsAreNeverLengthened) {
  auto continuation_of = [](const string& record, bool marked) {
    return main_of(a(256) + record, marked).substr(258);
  };
  // A missing neighbour counts as not blank, but a missing separator is left alone.
  EXPECT_EQ(continuation_of(string(28, 'x'), false), string(28, 'x') + kCrLf);
  EXPECT_EQ(continuation_of(string(29, 'x'), false), string(29, 'x') + kCrLf);
  EXPECT_EQ(continuation_of(string(30, 'x'), false), string(29, 'x') + "-" + kCrLf);
  EXPECT_EQ(continuation_of(string(29, 'x') + "/ ", false), string(29, 'x') + "/ " + kCrLf);
  EXPECT_EQ(continuation_of(string(34, 'x'), false), string(29, 'x') + "-xxx-" + kCrLf);
  EXPECT_EQ(continuation_of(string(33, 'x') + " ", false), string(29, 'x') + "-xxx-" + kCrLf);
  EXPECT_EQ(continuation_of(string(32, 'x') + " x", false), string(29, 'x') + "-xx x" + kCrLf);
  EXPECT_EQ(continuation_of(string(48, 'x'), true), string(48, 'x') + kCrLf);
  EXPECT_EQ(continuation_of(string(49, 'x'), true), string(48, 'x') + "-" + kCrLf);
  EXPECT_EQ(continuation_of(string(52, 'x'), true), string(48, 'x') + "-xxx" + kCrLf);
  EXPECT_EQ(continuation_of(string(53, 'x'), true), string(48, 'x') + "-xxx-" + kCrLf);
  EXPECT_EQ(continuation_of(string(51, 'x') + " x", true), string(48, 'x') + "-xx x" + kCrLf);
}

TEST(Routing, SendsTypeTwoRecordsOfMarkedInputsToTheSplitOutput) {
  string type1 = "K0011" + string(251, 'a');
  string type2 = "K0012" + string(251, 'b');
  Routed routed = route(type1 + type2 + "K00" + kCrLf + type2 + type1 + kCrLf, true);
  // The continuation of type 2 goes to the split output although its line began in the main
  // output, and the other way round; the 3-character record has no type and stays in the main.
  string filled2 = "K0012" + string(43, 'b') + "-bbb-" + string(203, 'b');
  string filled1 = "K0011" + string(43, 'a') + "-aaa-" + string(203, 'a');
  EXPECT_EQ(routed.main, type1 + kCrLf + "K00" + kCrLf + filled1 + kCrLf);
  EXPECT_EQ(routed.split, filled2 + kCrLf + type2 + kCrLf);

  // Unmarked inputs, and marked inputs without type-2 records, create no split output.
  EXPECT_FALSE(route(type2 + kCrLf, false).split_created);
  EXPECT_FALSE(route(type1 + "K002" + kCrLf, true).split_created);
  // The type is the fifth character, not the fifth byte.
  EXPECT_TRUE(route("ABC" + kKanji + "2" + kCrLf, true).split_created);
  EXPECT_FALSE(route("ABCD\x82"
                     "2" +
                         kCrLf,
                     true)
                   .split_created);  // 0x82 stands alone here
}

}  // namespace
