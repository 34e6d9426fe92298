#include "job/record_router.h"

#include <cassert>
#include <cstring>

#include "job/job_constants.h"
#include "textfile/code_page.h"

namespace job {
namespace {

// The length of a record of single-byte text, `rest` bytes of its line left, as measuring it
// would give: kRecordLength characters are as many bytes. 0 when it may go on past them.
std::size_t cut_single_byte_record(std::size_t rest, bool line_ends_here) {
  if (rest >= kRecordLength) return kRecordLength;
  return line_ends_here ? rest : 0;
}

}  // namespace

RecordRouter::RecordRouter(textfile::TextOutputFile& main_output, SplitOutputSource* split_output,
                           bool marked, const RecordFunctions& functions)
    : functions_(functions),
      marked_(marked),
      main_output_(main_output),
      split_output_(split_output) {
  assert(marked == (split_output != nullptr));
}

// Inline: it runs for every record, and a call costs as much as the rest of it.
inline void RecordRouter::write_record(const std::uint8_t* record, std::size_t size,
                                       const LeadingStarts& starts) {
  assert(size > 0 && size <= 2 * kRecordLength);  // 256 characters of one or two bytes
  textfile::TextOutputFile& destination = marked_ && functions_.has_split_type(record, size, starts)
                                              ? split_output_->file()
                                              : main_output_;
  // Straight into the output's buffer: a record is copied once, filled on the way.
  auto* line = reinterpret_cast<std::uint8_t*>(destination.begin_line(size));
  if (!continuation_) {
    std::memcpy(line, record, size);
    destination.end_line(size);
    return;
  }
  destination.end_line(functions_.fill_separators(record, size, marked_, line, starts));
}

std::size_t RecordRouter::feed(const char* bytes, std::size_t size, bool end_of_input) {
  const auto* text = reinterpret_cast<const std::uint8_t*>(bytes);
  std::size_t at = 0;
  while (at < size) {
    if (text[at] == textfile::kCarriageReturn) {
      if (at + 1 < size) {
        at += text[at + 1] == textfile::kLineFeed ? 2 : 1;
      } else if (end_of_input) {
        at += 1;
      } else {
        break;  // a line feed may follow in the next block
      }
      continuation_ = false;
      continue;
    }
    bool single_byte = false;
    std::size_t line_end = at + functions_.find_line_end(text + at, size - at, single_byte);
    bool line_ends_here = line_end < size || end_of_input;
    while (at < line_end) {
      LeadingStarts starts;
      std::size_t record_size =
          single_byte ? cut_single_byte_record(line_end - at, line_ends_here)
                      : functions_.measure_record(text + at, line_end - at, line_ends_here, starts);
      if (record_size == 0) return at;
      write_record(text + at, record_size, starts);
      at += record_size;
      continuation_ = true;
    }
  }
  return at;
}

void route_input(textfile::TextInputFile& input, RecordRouter& router,
                 const std::function<void()>& after_each_block) {
  for (;;) {
    bool end_of_input = input.at_end();
    input.consume(router.feed(input.data(), input.size(), end_of_input));
    if (end_of_input) return;
    if (after_each_block) after_each_block();
    input.read_more();
  }
}

}  // namespace job
