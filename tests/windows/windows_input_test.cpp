#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <memory>
#include <string>

#include "textfile/failure_texts.h"
#include "textfile/file_failure.h"
#include "textfile/file_system.h"

namespace {

// An input is deleted only as it was read: to its end. A run whose reading stopped short (a
// read that gave up early, a file longer than it was when opened) must never delete it, though
// its times and identity are what they were.
TEST(WindowsInput, OnlyAnInputReadToItsEndMayGo) {
  char folder[MAX_PATH + 1];
  ASSERT_NE(::GetTempPathA(sizeof folder, folder), 0u);
  const std::string path = std::string(folder) + "zorvant-read-to-end.dat";
  std::ofstream(path, std::ios::binary) << std::string(3000, 'K');
  textfile::FileSystem& files = textfile::platform_file_system();
  std::unique_ptr<textfile::ReadableFile> input = files.open_input(path);
  ASSERT_TRUE(input);
  char block[1000];
  ASSERT_EQ(input->read(block, sizeof block), sizeof block);
  try {
    input->throw_if_changed();
    ADD_FAILURE() << "an input read in part passed for one read to its end";
  } catch (const textfile::FileFailure& failure) {
    EXPECT_EQ(failure.error_text(), textfile::failure_text::kChanged);
  }
  while (input->read(block, sizeof block) > 0) {
  }
  EXPECT_NO_THROW(input->throw_if_changed());
  input->close();
  ::DeleteFileA(path.c_str());
}

}  // namespace
