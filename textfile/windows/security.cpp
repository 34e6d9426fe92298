#include "textfile/windows/security.h"

#include <initializer_list>

#include "textfile/windows/handle.h"

namespace textfile::windows {

// The accounts whose files this process makes its own: its user, and the owner it gives new
// files (the Administrators group for an elevated administrator).
bool is_own_account(PSID owner) {
  HANDLE token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  ScopedHandle closes(token);
  alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  alignas(8) unsigned char new_owner[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  return (::GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
          ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)) ||
         (::GetTokenInformation(token, TokenOwner, new_owner, sizeof new_owner, &size) &&
          ::EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(new_owner)->Owner));
}

// Whether the list lets every user, or every user of the machine, change the file's content
// or its security. No list at all lets anyone do anything.
bool is_writable_by_others(PACL access) {
  if (access == nullptr) return true;
  constexpr ACCESS_MASK kChanges =
      FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (WELL_KNOWN_SID_TYPE others : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid}) {
    alignas(8) unsigned char sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!::CreateWellKnownSid(others, nullptr, sid, &size)) return true;
    for (DWORD i = 0; i < access->AceCount; ++i) {
      ACE_HEADER* entry = nullptr;
      if (!::GetAce(access, i, reinterpret_cast<void**>(&entry))) return true;
      if (entry->AceType != ACCESS_ALLOWED_ACE_TYPE || (entry->AceFlags & INHERIT_ONLY_ACE)) {
        continue;
      }
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry);
      if ((allowed->Mask & kChanges) && ::EqualSid(&allowed->SidStart, sid)) return true;
    }
  }
  return false;
}

}  // namespace textfile::windows
