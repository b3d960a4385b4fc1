#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "support/aligned_buffer.h"
#include "support/error.h"

namespace kova::platform {

namespace {

// Closes a descriptor at scope end.
struct TFd {
  int fd = -1;
  explicit TFd(int f) : fd(f) {}
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
};

bool WriteAll(int fd, const char* data, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

class TFileStream : public TStream {
 public:
  // `opened`: the file's state when it was opened. A stream opened only for reading keeps its size
  // from then, which spares a system call per question on the checksum path.
  TFileStream(int fd, std::string path, const struct stat& opened, bool readOnly)
      : fd_(fd), path_(std::move(path)), opened_(opened), readOnly_(readOnly) {}
  ~TFileStream() override { ::close(fd_); }
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t count) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR)
        throw EStreamError("Stream read error: " + path_ + ": " + std::strerror(errno), errno);
    }
  }
  void Write(const void* buffer, std::size_t count) override {
    if (!WriteAll(fd_, static_cast<const char*>(buffer), count)) {
      throw EStreamError("Stream write error: " + path_ + ": " + std::strerror(errno), errno);
    }
  }
  std::int64_t Size() const override {
    if (readOnly_) return opened_.st_size;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw EStreamError("Stream read error: " + path_, errno);
    return st.st_size;
  }
  std::int64_t Position() const override { return ::lseek(fd_, 0, SEEK_CUR); }
  bool ModifySeconds(std::int64_t& seconds) const {
    seconds = opened_.st_mtim.tv_sec;
    return true;
  }
  void Seek(std::int64_t position) override {
    if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0)
      throw EStreamError("Stream seek error: " + path_, errno);
  }
  void Truncate(std::int64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
      throw EStreamError("Stream write error: " + path_, errno);
  }
  void Flush() override {
    if (::fsync(fd_) != 0) throw EStreamError("Stream write error: " + path_, errno);
  }

 private:
  int fd_;
  std::string path_;
  struct stat opened_;
  bool readOnly_;
};

}  // namespace

bool IsPathDelimiter(char c) {
  return c == '/';  // a backslash is a character of a name here
}

std::string NormalisePath(const std::string& path) {
  return path;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

bool IsSymbolicLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FileModifySeconds(const std::string& path, std::int64_t& seconds) {
  TFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (f.fd < 0) return false;
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) return false;
  seconds = st.st_mtim.tv_sec;
  return true;
}

bool ProbeFile(const std::string& path, std::int64_t& size, std::int64_t& seconds, bool& readable) {
  // A cached run looks at every file of the game: a look and a permission check, without
  // opening each file.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  readable = ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
  size = st.st_size;
  seconds = st.st_mtim.tv_sec;
  return true;
}

bool SetFileModifySeconds(const std::string& path, std::int64_t seconds) {
  TFd f(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (f.fd < 0) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  return ::futimens(f.fd, times) == 0;
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
#ifdef KOVA_HAVE_RENAMEAT2
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // File systems without the flag: a hard link also refuses an existing target.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

bool CopyBeside(const std::string& from, const std::string& to) {
  TFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return false;
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || S_ISDIR(st.st_mode)) return false;
  const std::string temp = to + kCopySuffix;
  ::unlink(temp.c_str());
  TFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 st.st_mode & 07777));
  if (out.fd < 0) return false;
  TAlignedBuffer buffer(1 << 20);
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer.Data(), buffer.Size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out.fd, buffer.Chars(), static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  // The copy keeps the source's run bit and its date, as a copied executable does on Windows;
  // a replaced launcher then still knows which build it is.
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (ok)
    ok = ::fchmod(out.fd, st.st_mode & 07777) == 0 && ::futimens(out.fd, times) == 0 &&
         ::fsync(out.fd) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool PutCopyInPlace(const std::string& to) {
  {
    // Opening a running program for writing fails (ETXTBSY); that is what makes the
    // self-update handshake wait for the old instance to end.
    TFd probe(::open(to.c_str(), O_WRONLY | O_CLOEXEC));
    if (probe.fd < 0 && errno != ENOENT) return false;
  }
  return ::rename((to + kCopySuffix).c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

bool RemoveEmptyFolder(const std::string& path) {
  return ::rmdir(path.c_str()) == 0;
}

bool CopyFileMode(const std::string& from, const std::string& to) {
  struct stat st {};
  return ::stat(from.c_str(), &st) == 0 && ::chmod(to.c_str(), st.st_mode & 07777) == 0;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

bool MakeExecutable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  // The run bit goes where the read bit is: the owner, and the group and others when the file
  // was created readable for them.
  return ::chmod(path.c_str(), (st.st_mode & 07777) | ((st.st_mode & 0444) >> 2)) == 0;
}

bool IsRealFolderChain(const std::string& home, const std::string& relative) {
  std::string path = home;
  if (!path.empty() && path.back() != '/') path += '/';
  for (std::size_t start = 0;;) {
    const std::size_t slash = relative.find('/', start);
    if (slash == std::string::npos) return true;
    path.append(relative, start, slash - start);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;  // the rest is made below, inside
    if (!S_ISDIR(st.st_mode)) return false;  // a link, or a file where a folder belongs
    path += '/';
    start = slash + 1;
  }
}

std::string AbsolutePath(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    std::vector<char> here(4096);
    if (!::getcwd(here.data(), here.size())) return {};
    full = std::string(here.data()) + "/" + path;
  }
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= full.size();) {
    const std::size_t slash = std::min(full.find('/', start), full.size());
    const std::string part = full.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

namespace {

bool ListBelow(const std::string& root, const std::string& relative,
               std::vector<std::string>& files, std::vector<std::string>& links,
               std::vector<std::string>* folders) {
  DIR* dir = ::opendir((root + relative).c_str());
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = relative + name;
    struct stat st {};
    if (::lstat((root + path).c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode))
      links.push_back(path);
    else if (S_ISDIR(st.st_mode)) {
      if (folders) folders->push_back(path);
      ListBelow(root, path + "/", files, links, folders);
    } else if (S_ISREG(st.st_mode))
      files.push_back(path);
  }
  ::closedir(dir);
  return true;
}

}  // namespace

bool ListFiles(const std::string& root, std::vector<std::string>& files,
               std::vector<std::string>& links, std::vector<std::string>* folders) {
  std::string base = root;
  if (base.empty() || base.back() != '/') base += '/';
  return ListBelow(base, "", files, links, folders);
}

bool CreatePrivateFile(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool ok = written == data.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok) ::unlink(path.c_str());
  return ok;
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool SyncFolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  TFd f(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return f.fd >= 0 && ::fsync(f.fd) == 0;
}

std::int64_t FreeDiskSpace(const std::string& folder, std::int64_t* total) {
  struct statvfs info {};
  if (::statvfs(folder.c_str(), &info) != 0) return -1;
  if (total)
    *total = static_cast<std::int64_t>(info.f_blocks) * static_cast<std::int64_t>(info.f_frsize);
  return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

std::size_t MaxPathLength() {
  return 4095;
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  std::string current;
  std::size_t i = 0;
  while (i <= path.size()) {
    const std::size_t slash = path.find('/', i);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    current = path.substr(0, end);
    if (!current.empty() && !DirectoryExists(current)) {
      if (::mkdir(current.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (slash == std::string::npos) break;
    i = slash + 1;
  }
  return DirectoryExists(path);
}

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

TFolderLock::TFolderLock(const std::string& folder) {
  // flock on the folder itself: every process that opens the same folder meets it, whatever the
  // path it was named by.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    busy_ = errno == EWOULDBLOCK;
    ::close(fd);
    return;
  }
  handle_ = fd;
  held_ = true;
}

TFolderLock::~TFolderLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool StreamModifySeconds(TStream& stream, std::int64_t& seconds) {
  auto* file = dynamic_cast<TFileStream*>(&stream);
  return file && file->ModifySeconds(seconds);
}

std::unique_ptr<TStream> OpenFileStream(const std::string& path, TFileMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case TFileMode::OpenRead:
      flags |= O_RDONLY;
      break;
    case TFileMode::Create:
      // Whatever stands at the name goes first, and the new file is made only where nothing
      // stands: a link planted at the name (even between the two calls) is never written through.
      RemoveFile(path);
      flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
    case TFileMode::OpenReadWrite:
      flags |= O_RDWR | O_NOFOLLOW;
      break;
  }
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0)
    throw EStreamError("Cannot open file \"" + path + "\". " + std::strerror(errno), errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    throw EStreamError("Cannot open file \"" + path + "\". " + std::strerror(error), error);
  }
  return std::make_unique<TFileStream>(fd, path, st, mode == TFileMode::OpenRead);
}

char ShownSeparator() {
  return '/';
}

}  // namespace kova::platform
