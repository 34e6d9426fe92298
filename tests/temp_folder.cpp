#include "temp_folder.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zorvant_e2e_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string TempFolder::Path(const std::string& relative) const { return root_ + "/" + relative; }

void TempFolder::Write(const std::string& relative, const std::string& bytes) const {
  const fs::path path = fs::u8path(Path(relative));
  fs::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::optional<std::string> TempFolder::Read(const std::string& relative) const {
  const fs::path path = fs::u8path(Path(relative));
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool TempFolder::Exists(const std::string& relative) const {
  std::error_code error;
  return fs::exists(fs::symlink_status(fs::u8path(Path(relative)), error));
}

void TempFolder::MakeFolder(const std::string& relative) const {
  fs::create_directories(fs::u8path(Path(relative)));
}

std::vector<std::string> TempFolder::List() const {
  std::vector<std::string> entries;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root_)) {
    std::string name = entry.path().lexically_relative(root_).string();
    if (entry.is_directory() && !entry.is_symlink()) name += "/";
    entries.push_back(name);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}
