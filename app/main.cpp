#include <new>
#include <string>

#include "app/failure_report.h"
#include "job/conversion_job.h"
#include "textfile/file_failure.h"
#include "textfile/file_system.h"
#include "textfile/platform.h"

namespace {

// A failed run and a run stopped by a termination signal both end once the run has undone what
// it must; a signal that came while the run was failing (the file size limit's, which comes
// with a failed write, say) decides how the program ends.
void end_if_interrupted() {
  if (int signal_number = textfile::pending_termination_signal()) {
    textfile::end_with_signal(signal_number);
  }
}

}  // namespace

// Exit statuses: 0 when the input was converted or there was nothing to convert, 1 after a
// failure (reported in one line); a termination signal ends the program with its own status.
int main(int argc, char** argv) {
  textfile::guard_standard_streams();
  textfile::watch_for_interruptions();
  std::string input_path;
  try {
    input_path = textfile::argument_text(argc, argv);
    // Converted, or nothing to convert: no failure either way. A scheduler that starts runs for
    // paths of its own checks that the input is gone.
    job::run_conversion(textfile::platform_file_system(), input_path);
    return 0;
  } catch (const textfile::Interrupted& interruption) {
    textfile::end_with_signal(interruption.signal_number());
  } catch (const textfile::FileFailure& failure) {
    end_if_interrupted();
    textfile::show_failure_report(app::failure_report(failure));
  } catch (const std::bad_alloc&) {
    end_if_interrupted();
    textfile::show_failure_report(app::out_of_memory_report(input_path));
  } catch (const std::exception& failure) {
    // Nothing else is expected to get here; if it does, it still ends in the one-line report.
    end_if_interrupted();
    textfile::show_failure_report(app::unexpected_failure_report(failure));
  }
  return 1;
}
