#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "job/record_functions.h"
#include "textfile/text_input_file.h"
#include "textfile/text_output_file.h"

namespace job {

// The split output of a marked input, opened when the first record is bound for it.
class SplitOutputSource {
 public:
  virtual ~SplitOutputSource() = default;
  virtual textfile::TextOutputFile& file() = 0;
};

// Cuts lines into records of kRecordLength characters, writes each record as a line of its own,
// fills the separators of every record after the first of a line, and sends type-2 records of a
// marked input (one that has a split output) to the split output, every other record to the main
// output.
//
// The input arrives in blocks that may end anywhere, even inside a line of gigabytes: feed()
// uses as much of a block as it can and says how much, and the caller hands the rest again in
// front of the next block. Nothing of a line is kept between calls but its place.
class RecordRouter {
 public:
  // A `marked` input has a split output; an unmarked one has none (null). `functions` is the
  // build of the per-record work to use: the fastest for this processor unless a test asks for
  // another.
  RecordRouter(textfile::TextOutputFile& main_output, SplitOutputSource* split_output, bool marked,
               const RecordFunctions& functions = *record_functions_for_this_processor().front());

  // Writes every record that `bytes` holds whole and returns how many bytes that used. Only a
  // few hundred bytes at the end are ever left over: a record that may go on in the next block,
  // or a carriage return whose line feed may follow. With `end_of_input`, all bytes are used.
  std::size_t feed(const char* bytes, std::size_t size, bool end_of_input);

 private:
  void write_record(const std::uint8_t* record, std::size_t size, const LeadingStarts& starts);

  const RecordFunctions& functions_;
  bool marked_;
  textfile::TextOutputFile& main_output_;
  SplitOutputSource* split_output_;
  // Whether the next record continues a line whose first record has been written.
  bool continuation_ = false;
};

// Hands the input to the router block by block, each block read after the bytes the router left
// of the one before, until the end of the input. `after_each_block`, when given, runs after every
// block but the last: the place to stop a run that must stop.
void route_input(textfile::TextInputFile& input, RecordRouter& router,
                 const std::function<void()>& after_each_block = nullptr);

}  // namespace job
