#include <windows.h>

#include <csignal>
#include <string>

#include "textfile/file_failure.h"
#include "textfile/platform.h"
#include "textfile/windows/windows_text.h"

namespace textfile {
namespace {

volatile LONG pending_signal = 0;

BOOL WINAPI remember_console_event(DWORD event) {
  int signal_number = event == CTRL_C_EVENT       ? SIGINT
                      : event == CTRL_BREAK_EVENT ? SIGBREAK
                                                  : SIGTERM;
  ::InterlockedCompareExchange(&pending_signal, signal_number, 0);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process as soon as this returns. Holding it here gives the run its
    // grace time to stop at a safe point and take its appends back; end_with_signal then ends
    // the process.
    ::Sleep(INFINITE);
  }
  return TRUE;
}

bool write_all(HANDLE handle, const std::string& text) {
  const char* at = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    if (!::WriteFile(handle, at, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
      return false;
    }
    at += written;
    left -= written;
  }
  return true;
}

}  // namespace

std::string argument_text(int, char**) {
  // The C runtime's argv has split and unquoted the text, and lost whatever the code page
  // cannot hold: the command line itself is the text.
  return windows::to_narrow(windows::argument_text_of(::GetCommandLineW()));
}

std::size_t last_component_start(const std::string& path) {
  std::string::size_type separator = path.find_last_of("/\\:");
  return separator == std::string::npos ? 0 : separator + 1;
}

// Ctrl+C and Ctrl+Break reach the program only while it shares a console; a Ctrl+C that the
// starting program chose to ignore is never delivered, so it stays ignored.
void watch_for_interruptions() { ::SetConsoleCtrlHandler(remember_console_event, TRUE); }

int pending_termination_signal() { return static_cast<int>(pending_signal); }

void end_with_signal(int) {
  // The status Windows gives a console program that a Ctrl event ends.
  ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void guard_standard_streams() {
  // Windows hands out handles, not the lowest free number: no file takes standard error's place.
}

void show_failure_report(const std::string& line) {
  HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE &&
      ::GetFileType(error) != FILE_TYPE_UNKNOWN) {
    DWORD mode = 0;
    if (::GetConsoleMode(error, &mode)) {
      // A console shows UTF-16 whatever its code page.
      std::wstring text = windows::to_wide(line + "\r\n");
      DWORD written = 0;
      ::WriteConsoleW(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
      // Redirected to a file or a pipe: UTF-8, which holds every name.
      write_all(error, line + "\r\n");
    }
    return;
  }
  // Started from Explorer, or by a program that gave it no standard error.
  ::MessageBoxW(nullptr, windows::to_wide(line).c_str(), L"zorvant",
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace textfile
