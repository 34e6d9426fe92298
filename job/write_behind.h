#pragma once

#include <cstdint>
#include <memory>

#include "textfile/background_io.h"
#include "textfile/file_system.h"

namespace job {

// From this size of input on, each output is written behind the conversion on a thread of its
// own. A smaller input converts in about the time that threads take to start and to be handed
// its buffers, so its outputs are written in turn by the converting thread: faster where the
// files are held in memory, and on a disk its syncs one after another were measured no slower
// than at once (the first commits what the others would have).
constexpr std::uint64_t kWriteBehindFrom = 8 << 20;

// The writing thread for one output of `input`, or none: for an input below kWriteBehindFrom,
// and where the file system gives none (a process that may run on one processor only).
std::unique_ptr<textfile::BackgroundIo> writing_thread_for(textfile::FileSystem& files,
                                                           const textfile::ReadableFile& input);

}  // namespace job
