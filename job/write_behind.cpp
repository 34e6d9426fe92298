#include "job/write_behind.h"

namespace job {

std::unique_ptr<textfile::BackgroundIo> writing_thread_for(textfile::FileSystem& files,
                                                           const textfile::ReadableFile& input) {
  if (input.size() < kWriteBehindFrom) return nullptr;
  return files.start_background_io();
}

}  // namespace job
