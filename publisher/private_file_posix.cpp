#include "publisher/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/unique_descriptor.h"

namespace {

constexpr mode_t kOthersBits = S_IRWXG | S_IRWXO;

// Closes now, so that a failure of the last write-back shows.
bool CloseFileDescriptor(UniqueFileDescriptor& file) {
  return ::close(file.release()) == 0;
}

std::string SystemError(const std::string& what) {
  return what + " (" + std::strerror(errno) + ")";
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why the open file is not private; empty text when it is.
std::string Exposure(int fd) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return SystemError("cannot be examined");
  if (!S_ISREG(status.st_mode)) return "is not a file";
  // Write or search bits count too: whoever may replace the key decides what we sign with.
  if ((status.st_mode & kOthersBits) != 0) {
    return "can be read or changed by others (mode " + ModeText(status.st_mode) + "); run chmod 600 on it";
  }
  return std::string();
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<std::size_t>(put);
  }
  return true;
}

// False with tooLarge set when the file holds more than capacity bytes.
bool ReadAll(int fd, char* buffer, std::size_t capacity, std::size_t& length, bool& tooLarge) {
  length = 0;
  tooLarge = false;
  for (;;) {
    char probe;
    // One byte past capacity tells a file that is too long from one that fits.
    char* into = length < capacity ? buffer + length : &probe;
    const std::size_t room = length < capacity ? capacity - length : 1;
    const ssize_t got = ::read(fd, into, room);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (into == &probe) {
      tooLarge = true;
      return false;
    }
    length += static_cast<std::size_t>(got);
  }
}

}  // namespace

bool ReadPrivateFile(const std::filesystem::path& path, char* buffer, std::size_t capacity, std::size_t& length,
                     std::string& problem) {
  UniqueFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) {
    problem = SystemError("cannot be read");
    return false;
  }
  // Judged on the descriptor we read from, so a file swapped in between cannot pass.
  problem = Exposure(file.get());
  if (!problem.empty()) return false;
  bool tooLarge = false;
  if (!ReadAll(file.get(), buffer, capacity, length, tooLarge)) {
    problem = tooLarge ? "is far larger than a key file" : SystemError("cannot be read");
    return false;
  }
  return true;
}

int CreateNewFile(const std::filesystem::path& path, const std::string& bytes, bool ownerOnly, std::string& problem) {
  const mode_t mode = ownerOnly ? S_IRUSR | S_IWUSR : S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
  // O_EXCL also refuses a symbolic link standing at path, wherever it points.
  UniqueFileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
  if (file.get() < 0) {
    const bool exists = errno == EEXIST;
    problem = exists ? "exists already; it is never overwritten" : SystemError("cannot be created");
    return exists ? 2 : 4;
  }
  std::string failure;
  // A umask of 0277 would leave the owner unable to read its own key.
  if (ownerOnly && ::fchmod(file.get(), mode) != 0) failure = SystemError("cannot be made private");
  if (failure.empty() && !WriteAll(file.get(), bytes)) failure = SystemError("cannot be written");
  if (failure.empty() && ownerOnly) {
    // A file system without Unix modes (vfat, some network mounts) reports
    // everyone's bits whatever we asked for: a key there is not private.
    const std::string exposure = Exposure(file.get());
    if (!exposure.empty()) failure = "cannot be kept private on this file system: it " + exposure;
  }
  if (failure.empty() && ::fsync(file.get()) != 0) failure = SystemError("cannot be written");
  if (!CloseFileDescriptor(file) && failure.empty()) failure = SystemError("cannot be written");
  if (failure.empty()) return 0;
  ::unlink(path.c_str());
  problem = failure;
  return 4;
}
