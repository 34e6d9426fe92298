#pragma once

#include <cstddef>
#include <cstdint>

#include "textfile/text_output_file.h"

namespace job {

// Gives the split output, opening it when the first record is bound for it.
class SplitOutputSource {
 public:
  virtual ~SplitOutputSource() = default;
  virtual textfile::TextOutputFile& split_output() = 0;
};

// Cuts lines into records of kRecordLength characters, writes each record as a line of its own,
// fills the separators of every record after the first of a line, and sends type-2 records of a
// marked input to the split output, every other record to the main output.
//
// The input arrives in blocks that may end anywhere, even inside a line of gigabytes: feed()
// uses as much of a block as it can and says how much, and the caller hands the rest again in
// front of the next block. Nothing of a line is kept between calls but its place.
class RecordRouter {
 public:
  RecordRouter(bool marked, textfile::TextOutputFile& main_output, SplitOutputSource& split_output);

  // Writes every record that `bytes` holds whole and returns how many bytes that used. Only a
  // few hundred bytes at the end are ever left over: a record that may go on in the next block,
  // or a carriage return whose line feed may follow. With `end_of_input`, all bytes are used.
  std::size_t feed(const char* bytes, std::size_t size, bool end_of_input);

 private:
  void write_record(const std::uint8_t* record, std::size_t size);

  bool marked_;
  textfile::TextOutputFile& main_output_;
  SplitOutputSource& split_output_;
  // Whether the next record continues a line whose first record has been written.
  bool continuation_ = false;
};

}  // namespace job
