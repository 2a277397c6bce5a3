// Files and folders. Files that must survive a crash or a power cut: whole-file reads and
// replacement by a complete new version (never a half-written one); folders that hold personal
// data (the log folder, with the card holders' photos); names of temporary files that no other
// program shares. Paths are UTF-8. Every call blocks on disk I/O at most; none keeps state
// between calls, so they are thread-safe as long as two threads do not replace the same file at
// once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Creates the folder and its parents; true when it exists afterwards.
bool MakeFolders(const std::string& path);

enum class ReadResult {
  Ok,
  Missing,   // no such file
  TooLarge,  // longer than the caller's limit; *bytes untouched
  Failed,    // any other error (access denied, I/O error)
};
// The whole file, when it is at most maxBytes long.
ReadResult ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes);

// A new version of a file. The bytes go to "<path>.tmp"; Commit flushes them to the disk and
// only then renames the temporary file over `path` (and, on Linux, flushes the folder), so that
// a reader or a later start finds the old version or the new one, never a mix. Without Commit
// (a failure, or the process dies) the old version stays; a leftover temporary file is
// truncated by the next replacement.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& path);
  ~ReplacementFile();  // discards an uncommitted replacement
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // False once any step has failed; every later call then fails too.
  bool ok() const { return ok_; }
  bool Write(const void* data, size_t size);
  bool Commit();

 private:
  void Discard();
  std::string path_;
  std::string temporary_;
  bool ok_ = false;
  bool committed_ = false;
  std::intptr_t file_ = -1;  // the open temporary file (a HANDLE or a descriptor); -1: none
};

// A whole new version of a file, through a ReplacementFile. false: the old version stays.
inline bool ReplaceWholeFile(const std::string& path, const std::string& bytes) {
  ReplacementFile file(path);
  return file.Write(bytes.data(), bytes.size()) && file.Commit();
}

// Creates the folder (UTF-8 path) when missing and leaves it readable to the service's own
// account only: on Windows a protected access list with full control for SYSTEM, the
// Administrators and the account the process runs under (the service account, or the user of a
// console run); on Linux mode 0700. A folder that exists is restricted the same way. Does not
// block beyond the file system; thread-safe. false when the folder cannot be created or its
// access cannot be restricted.
bool CreatePrivateDirectory(const std::string& path);

// This process's id: part of a temporary file's name, so that two programs working in the same
// temporary folder at the same second do not take each other's files. Thread-safe.
uint32_t CurrentProcessId();

}  // namespace platform
