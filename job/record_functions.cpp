// The table of this build's per-record work (built once per instruction set, see
// record_functions.h).
#include "job/record_functions.h"

#include "job/record_measure.h"
#include "job/separator_fill.h"

namespace job {
namespace ZORVANT_RECORD_FUNCTIONS {

#define ZORVANT_NAME_OF(build) #build
#define ZORVANT_NAME(build) ZORVANT_NAME_OF(build)
extern const RecordFunctions kRecordFunctions = {ZORVANT_NAME(ZORVANT_RECORD_FUNCTIONS),
                                                 find_line_end, measure_record, has_split_type,
                                                 fill_separators};

}  // namespace ZORVANT_RECORD_FUNCTIONS
}  // namespace job
