#include <new>

#include "app/failure_report.h"
#include "job/conversion_job.h"
#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/platform.h"

// Exit statuses: 0 when the input was converted or there was nothing to convert, 1 after a
// failure (reported in one line); a termination signal ends the program with its own status.
int main(int argc, char** argv) {
  textfile::watch_for_interruptions();
  try {
    job::run_conversion(textfile::platform_file_system(), textfile::argument_text(argc, argv));
    return 0;
  } catch (const textfile::Interrupted& interruption) {
    textfile::end_with_signal(interruption.signal_number());
  } catch (const textfile::FileFailure& failure) {
    textfile::show_failure_report(app::failure_report(failure));
  } catch (const std::bad_alloc&) {
    textfile::show_failure_report("zorvant: out of memory");
  }
  return 1;
}
