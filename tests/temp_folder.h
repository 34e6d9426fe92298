// A private scratch folder per test, plus raw-byte file helpers: every
// comparison in the end-to-end tests is on exact bytes.
#ifndef ZORVANT_TESTS_TEMP_FOLDER_H_
#define ZORVANT_TESTS_TEMP_FOLDER_H_

#include <optional>
#include <string>
#include <vector>

class TempFolder {
 public:
  TempFolder();   // a fresh folder under $TMPDIR (or /tmp)
  ~TempFolder();  // removes it with everything left inside
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& root() const { return root_; }
  // Absolute path of `relative` inside the folder.
  std::string Path(const std::string& relative) const;

  // Writes `bytes` exactly, creating missing parent folders.
  void Write(const std::string& relative, const std::string& bytes) const;
  // The file's bytes, or nullopt when it cannot be read as a file.
  std::optional<std::string> Read(const std::string& relative) const;
  // True when anything (even a broken link) sits at `relative`.
  bool Exists(const std::string& relative) const;
  void MakeFolder(const std::string& relative) const;
  // Every entry below the root, relative and sorted; folders end in '/'.
  std::vector<std::string> List() const;

 private:
  std::string root_;
};

#endif  // ZORVANT_TESTS_TEMP_FOLDER_H_
