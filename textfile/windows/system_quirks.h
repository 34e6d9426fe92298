#pragma once

// What the documented functions do not tell: asked of ntdll, and of Wine where it stands in for
// Windows.
namespace textfile::windows {

// Whether the open that just failed with "access denied" met a file already marked for
// deletion, which Windows refuses to open again until its last handle closes.
bool met_file_being_deleted();

// False under Wine, which shows every file's last write time as its creation time.
bool creation_time_is_birth();

}  // namespace textfile::windows
