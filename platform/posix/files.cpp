#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace platform {
namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The rename itself lives in the folder's entries, which need their own flush.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool MakeFolders(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

ReadResult ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return ReadResult::Failed;
  }
  std::string data;
  ReadResult result = ReadResult::Ok;
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    result = ReadResult::TooLarge;
  } else {
    data.reserve(static_cast<size_t>(st.st_size));
    // To the end rather than to the size seen: the file may have grown since.
    for (;;) {
      char chunk[16384];
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = ReadResult::Failed;
        break;
      }
      if (n == 0) break;
      if (data.size() + static_cast<size_t>(n) > maxBytes) {
        result = ReadResult::TooLarge;
        break;
      }
      data.append(chunk, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  if (result == ReadResult::Ok) bytes->swap(data);
  return result;
}

ReplacementFile::ReplacementFile(const std::string& path) : path_(path), temporary_(path + ".tmp") {
  file_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ok_ = file_ >= 0;
}

ReplacementFile::~ReplacementFile() {
  if (!committed_) Discard();
}

bool ReplacementFile::Write(const void* data, size_t size) {
  if (ok_ && !WriteAll(static_cast<int>(file_), static_cast<const char*>(data), size)) Discard();
  return ok_;
}

bool ReplacementFile::Commit() {
  if (!ok_ || committed_) return ok_ && committed_;
  const int fd = static_cast<int>(file_);
  file_ = -1;
  const bool flushed = ::fsync(fd) == 0;
  if (::close(fd) != 0 || !flushed || ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    Discard();
    return false;
  }
  committed_ = true;
  SyncFolderOf(path_);
  return true;
}

void ReplacementFile::Discard() {
  if (file_ >= 0) ::close(static_cast<int>(file_));
  file_ = -1;
  ::unlink(temporary_.c_str());
  ok_ = false;
}

bool CreatePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return ::chmod(path.c_str(), 0700) == 0;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace platform
