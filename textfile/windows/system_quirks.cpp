#include "textfile/windows/system_quirks.h"

#include <windows.h>

namespace textfile::windows {

namespace {

// STATUS_DELETE_PENDING: what lies under "access denied" when a file is marked for deletion.
constexpr LONG kDeletePending = static_cast<LONG>(0xC0000056);

// A function of ntdll found by name, or null: for the few things that the documented functions
// do not tell.
using AnyFunction = void (*)();
AnyFunction ntdll_function(const char* name) {
  return reinterpret_cast<AnyFunction>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name));
}

}  // namespace

// Whether the open that just failed with "access denied" met a file already marked for
// deletion, which Windows refuses to open again until its last handle closes.
bool met_file_being_deleted() {
  using LastStatus = LONG(WINAPI*)();
  static const auto last_status =
      reinterpret_cast<LastStatus>(ntdll_function("RtlGetLastNtStatus"));
  return last_status != nullptr && last_status() == kDeletePending;
}

// Wine shows every file's last write time as its creation time, which moves with each write:
// there the volume and the index alone tell files apart.
bool creation_time_is_birth() {
  static const bool is_birth = ntdll_function("wine_get_version") == nullptr;
  return is_birth;
}

}  // namespace textfile::windows
