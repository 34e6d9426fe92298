// What the Wine end-to-end tests need done from inside Windows:
//   attrib PATH (+|-)(h|s|r)...  sets or clears hidden, system, read-only
//   hold PATH MARKER             holds PATH open as a run holds its input   } creates MARKER once
//   lock PATH MARKER             holds a lock on all of PATH, as a run does } it holds, and waits
//                                                                           } for its removal
//   run COMMAND_LINE             starts a program with exactly that command line; ends with its
//                                exit code
//   box COMMAND_LINE             the same without standard handles, as Explorer starts it; prints
//                                the text of the message box titled "zorvant", and presses OK
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "test_helper: %s failed (error %lu)\n", what, ::GetLastError());
  return 120;
}

// Tells the script that the file is held, then holds it until the script removes the marker.
void signal_and_wait(const wchar_t* marker) {
  ::CloseHandle(::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  while (::GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES) ::Sleep(20);
}

int attrib(const wchar_t* path, int count, wchar_t** changes) {
  DWORD attributes = ::GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail("GetFileAttributesW");
  for (int i = 0; i < count; ++i) {
    std::wstring change = changes[i];
    DWORD bit = change[1] == L'h'   ? FILE_ATTRIBUTE_HIDDEN
                : change[1] == L's' ? FILE_ATTRIBUTE_SYSTEM
                                    : FILE_ATTRIBUTE_READONLY;
    attributes = change[0] == L'+' ? attributes | bit : attributes & ~bit;
  }
  return ::SetFileAttributesW(path, attributes) ? 0 : fail("SetFileAttributesW");
}

// Holds the file as a run holds its input.
int hold(const wchar_t* path, const wchar_t* marker) {
  HANDLE file = ::CreateFileW(path, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail("CreateFileW");
  signal_and_wait(marker);
  ::CloseHandle(file);
  return 0;
}

int lock(const wchar_t* path, const wchar_t* marker) {
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail("CreateFileW");
  OVERLAPPED whole{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    return fail("LockFileEx");
  }
  signal_and_wait(marker);
  ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  ::CloseHandle(file);
  return 0;
}

int run(const wchar_t* command_line, bool with_standard_handles) {
  std::wstring line = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  if (with_standard_handles) {
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, with_standard_handles, 0, nullptr,
                        nullptr, &startup, &process)) {
    return fail("CreateProcessW");
  }
  if (!with_standard_handles) {
    HWND box = nullptr;
    for (int i = 0; i < 600 && box == nullptr; ++i) {
      if (::WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
      box = ::FindWindowW(nullptr, L"zorvant");
    }
    if (box == nullptr) {
      std::fprintf(stderr, "test_helper: no message box\n");
    } else {
      wchar_t text[1024] = L"";
      ::GetWindowTextW(::GetDlgItem(box, 0xFFFF), text, 1024);  // the box's message
      std::vector<char> utf8(4096);
      int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), 4096, nullptr, nullptr);
      std::fwrite(utf8.data(), 1, size > 0 ? size - 1 : 0, stdout);
      std::fflush(stdout);
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
  }
  if (::WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 121);
    return fail("waiting for the program");
  }
  DWORD status = 120;
  ::GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring command = argc > 2 ? argv[1] : L"";
  if (command == L"attrib") return attrib(argv[2], argc - 3, argv + 3);
  if (command == L"hold" && argc == 4) return hold(argv[2], argv[3]);
  if (command == L"lock" && argc == 4) return lock(argv[2], argv[3]);
  if (command == L"run" && argc == 3) return run(argv[2], true);
  if (command == L"box" && argc == 3) return run(argv[2], false);
  std::fprintf(stderr, "test_helper: unknown command\n");
  return 120;
}
