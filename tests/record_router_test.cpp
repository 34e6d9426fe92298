#include <gtest/gtest.h>

#include <string>

#include "job/conversion_job.h"
#include "memory_file_system.h"

namespace {

TEST(Smoke, ConvertsOneLine) {
  MemoryFileSystem files;
  files.put("in.dat", std::string(300, 'A') + "\r\n");
  EXPECT_EQ(job::run_conversion(files, "in.dat"), job::RunOutcome::kConverted);
  EXPECT_FALSE(files.has("in.dat"));
  EXPECT_EQ(files.content("in.dat.txt"), std::string(256, 'A') + "\r\n" + std::string(29, 'A') + "-" + std::string(3, 'A') + "-" + std::string(10, 'A') + "\r\n");
}

}  // namespace
