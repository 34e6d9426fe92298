#include "job/record_functions.h"

namespace job {

#ifdef ZORVANT_WIDE_RECORD_FUNCTIONS
namespace wide_vectors {
extern const RecordFunctions kRecordFunctions;
}

namespace {

// AVX2 with BMI2 and POPCNT, and an operating system that keeps the wide registers. The
// compiler's own check asks the processor once and remembers.
bool processor_has_wide_vectors() {
#if defined(__GNUC__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

}  // namespace
#endif

const std::vector<const RecordFunctions*>& record_functions_for_this_processor() {
  static const std::vector<const RecordFunctions*> builds = [] {
    std::vector<const RecordFunctions*> runnable;
#ifdef ZORVANT_WIDE_RECORD_FUNCTIONS
    if (processor_has_wide_vectors()) runnable.push_back(&wide_vectors::kRecordFunctions);
#endif
    runnable.push_back(&portable::kRecordFunctions);
    return runnable;
  }();
  return builds;
}

}  // namespace job
