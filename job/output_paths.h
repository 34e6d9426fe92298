#pragma once

#include <string>

#include "textfile/file_system.h"

// How a run names its outputs. Paths are byte strings: markers are found and replaced bytewise,
// so names in any encoding work.
namespace job {

// True when the input path contains the input marker anywhere, folder names included.
bool is_marked_input(const std::string& input_path);

// The input path with the output suffix appended: "a.dat" gives "a.dat.txt".
std::string main_output_path(const std::string& input_path);

// The main output path of a marked input with its first input marker overwritten by the split
// marker; later markers stay. Empty for an unmarked input.
std::string split_output_path(const std::string& input_path);

// The hidden file beside an output that records how to undo a run's appends to it:
// ".<output name>.undo", or ".zorvant-<16 hex digits>.undo" for an output name too long for
// that (more than 245 bytes).
std::string undo_record_path(const textfile::FileSystem& files, const std::string& output_path);

}  // namespace job
