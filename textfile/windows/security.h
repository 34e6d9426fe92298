#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <memory>

// Who owns a file and who may change it.
namespace textfile::windows {

// A file's owner and access list, read through its handle.
struct Security {
  PSID owner = nullptr;
  PACL access = nullptr;
  std::unique_ptr<void, decltype(&::LocalFree)> descriptor{nullptr, ::LocalFree};

  DWORD read(HANDLE handle) {
    PSECURITY_DESCRIPTOR found = nullptr;
    DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &access, nullptr, &found);
    descriptor.reset(found);
    return error;
  }
};

// The accounts whose files this process makes its own: its user, and the owner it gives new
// files (the Administrators group for an elevated administrator).
bool is_own_account(PSID owner);

// Whether the list lets every user, or every user of the machine, change the file's content
// or its security. No list at all lets anyone do anything.
bool is_writable_by_others(PACL access);

}  // namespace textfile::windows
