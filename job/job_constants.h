#pragma once

#include <cstddef>
#include <cstdint>

// The fixed values of the conversion.
namespace job {

// Characters per record; a line holds records of this length laid end to end.
constexpr std::size_t kRecordLength = 256;

// A path containing the input marker is a marked input; its split output is named by writing
// the split marker over the first occurrence.
constexpr char kInputMarker[] = "0502";
constexpr char kSplitMarker[] = "1101";
constexpr char kOutputSuffix[] = ".txt";

// Character 5 of a record is its type; type "2" records of marked inputs go to the split output.
constexpr std::size_t kRecordTypePosition = 5;
constexpr std::uint8_t kSplitRecordType = '2';

constexpr std::uint8_t kFillCharacter = '-';
constexpr std::uint8_t kBlank = ' ';

// A separator is filled when the characters on both sides of it are not blank. Positions are
// 1-based characters of a continuation record.
struct FillRule {
  std::size_t left;
  std::size_t separator;
  std::size_t right;
};

constexpr FillRule kMarkedFillRules[] = {{48, 49, 50}, {52, 53, 54}};
constexpr FillRule kUnmarkedFillRules[] = {{29, 30, 31}, {33, 34, 35}};

// The longest file name, in bytes, that the file systems the program runs on all take.
constexpr std::size_t kLongestFileName = 255;

}  // namespace job
