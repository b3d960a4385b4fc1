// Files through the wide functions: names are UTF-8 here and UTF-16 to the system.

#include <windows.h>

#include <vector>

#include "platform/files.h"
#include "platform/win32/wide_path.h"
#include "support/error.h"

namespace kova::platform {
namespace {

constexpr std::int64_t kEpochDifference = 11644473600;  // seconds from 1601 to 1970

std::int64_t FromFileTime(const FILETIME& ft) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - kEpochDifference;
}

FILETIME ToFileTime(std::int64_t seconds) {
  const auto ticks = static_cast<std::uint64_t>((seconds + kEpochDifference) * 10000000);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

// The system's text for an error code.
std::string ErrorText(DWORD code) {
  wchar_t buffer[512];
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buffer, 512, nullptr);
  std::string text = Utf8(buffer, n);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

// Closes a handle at scope end.
struct THandle {
  HANDLE h;
  explicit THandle(HANDLE handle) : h(handle) {}
  ~THandle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  bool Ok() const { return h != INVALID_HANDLE_VALUE; }
};

HANDLE OpenForReading(const std::string& path) {
  return CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

class TFileStream : public TStream {
 public:
  TFileStream(HANDLE handle, std::string path, std::int64_t size, std::int64_t modified,
              bool readOnly)
      : handle_(handle),
        path_(std::move(path)),
        size_(size),
        modified_(modified),
        readOnly_(readOnly) {}
  ~TFileStream() override { CloseHandle(handle_); }
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t count) override {
    DWORD got = 0;
    const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    if (!ReadFile(handle_, buffer, want, &got, nullptr)) {
      const DWORD code = GetLastError();
      throw EStreamError("Stream read error: " + path_ + ": " + ErrorText(code),
                         static_cast<int>(code));
    }
    return got;
  }
  void Write(const void* buffer, std::size_t count) override {
    const char* data = static_cast<const char*>(buffer);
    while (count > 0) {
      DWORD put = 0;
      const DWORD want = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
      if (!WriteFile(handle_, data, want, &put, nullptr) || put == 0) {
        const DWORD code = GetLastError();
        throw EStreamError("Stream write error: " + path_ + ": " + ErrorText(code),
                           static_cast<int>(code));
      }
      data += put;
      count -= put;
    }
  }
  std::int64_t Size() const override {
    if (readOnly_) return size_;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size))
      throw EStreamError("Stream read error: " + path_, static_cast<int>(GetLastError()));
    return size.QuadPart;
  }
  std::int64_t Position() const override {
    LARGE_INTEGER zero{}, now{};
    SetFilePointerEx(handle_, zero, &now, FILE_CURRENT);
    return now.QuadPart;
  }
  void Seek(std::int64_t position) override {
    LARGE_INTEGER to;
    to.QuadPart = position;
    if (!SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) {
      throw EStreamError("Stream seek error: " + path_, static_cast<int>(GetLastError()));
    }
  }
  void Flush() override {
    if (!FlushFileBuffers(handle_))
      throw EStreamError("Stream write error: " + path_, static_cast<int>(GetLastError()));
  }
  void Truncate(std::int64_t size) override {
    const std::int64_t at = Position();
    Seek(size);
    if (!SetEndOfFile(handle_))
      throw EStreamError("Stream write error: " + path_, static_cast<int>(GetLastError()));
    Seek(at < size ? at : size);
  }
  std::int64_t ModifySeconds() const { return modified_; }

 private:
  HANDLE handle_;
  std::string path_;
  std::int64_t size_;
  std::int64_t modified_;
  bool readOnly_;
};

}  // namespace

bool IsPathDelimiter(char c) {
  return c == '/' || c == '\\';
}

std::string NormalisePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::int64_t FileSize(const std::string& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  FindClose(search);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<std::int64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
}

bool IsSymbolicLink(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes &
           (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

bool FileModifySeconds(const std::string& path, std::int64_t& seconds) {
  THandle file(OpenForReading(path));
  FILETIME written;
  if (!file.Ok() || !GetFileTime(file.h, nullptr, nullptr, &written)) return false;
  seconds = FromFileTime(written);
  return true;
}

bool ProbeFile(const std::string& path, std::int64_t& size, std::int64_t& seconds, bool& readable) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  size = (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  seconds = FromFileTime(data.ftLastWriteTime);
  // Readable means what the date's reader needs: opened for reading with read sharing.
  THandle file(OpenForReading(path));
  readable = file.Ok();
  return true;
}

bool SetFileModifySeconds(const std::string& path, std::int64_t seconds) {
  THandle file(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  const FILETIME written = ToFileTime(seconds);
  return file.Ok() && SetFileTime(file.h, nullptr, nullptr, &written);
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
  return MoveFileW(Wide(from).c_str(), Wide(to).c_str()) != 0;  // fails when `to` exists
}

bool CopyBeside(const std::string& from, const std::string& to) {
  const std::string temp = to + kCopySuffix;
  DeleteFileW(Wide(temp).c_str());
  return CopyFileW(Wide(from).c_str(), Wide(temp).c_str(), TRUE) != 0;
}

bool PutCopyInPlace(const std::string& to) {
  // The move fails while the old program runs, as the handshake expects.
  return MoveFileExW(Wide(to + kCopySuffix).c_str(), Wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const std::string& path) {
  return DeleteFileW(Wide(path).c_str()) != 0;
}

bool RemoveEmptyFolder(const std::string& path) {
  return RemoveDirectoryW(Wide(path).c_str()) != 0;
}

bool CopyFileMode(const std::string&, const std::string&) {
  return true;
}  // no run bit here

bool IsExecutableFile(const std::string&) {
  return false;
}

bool MakeExecutable(const std::string&) {
  return true;
}

bool IsRealFolderChain(const std::string& home, const std::string& relative) {
  std::string path = home;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  for (std::size_t start = 0;;) {
    const std::size_t slash = relative.find('/', start);
    if (slash == std::string::npos) return true;
    path.append(relative, start, slash - start);
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD code = GetLastError();
      return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    }
    // A junction or link, or a file where a folder belongs.
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return false;
    path += '/';
    start = slash + 1;
  }
}

std::string AbsolutePath(const std::string& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  const std::wstring wide = Wide(path);
  for (;;) {
    const DWORD n =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (n == 0) return {};
    if (n < buffer.size()) {
      std::string full = Utf8(buffer.data(), n);
      for (char& c : full) {
        if (c == '\\') c = '/';
      }
      while (full.size() > 3 && full.back() == '/') full.pop_back();
      return full;
    }
    buffer.resize(n + 1);
  }
}

std::string RealPath(const std::string& path) {
  // Opened for no access at all: a folder too (backup semantics), and links followed.
  HANDLE handle =
      CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::vector<wchar_t> buffer(MAX_PATH);
  DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n >= buffer.size()) {
    buffer.resize(n + 1);
    n = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  CloseHandle(handle);
  if (n == 0 || n >= buffer.size()) return {};
  std::string full = Utf8(buffer.data(), n);
  // "\\?\C:\Game" names C:\Game, "\\?\UNC\server\share" the share \\server\share.
  if (full.compare(0, 8, "\\\\?\\UNC\\") == 0)
    full = "\\\\" + full.substr(8);
  else if (full.compare(0, 4, "\\\\?\\") == 0)
    full = full.substr(4);
  for (char& c : full) {
    if (c == '\\') c = '/';
  }
  while (full.size() > 3 && full.back() == '/') full.pop_back();
  return full;
}

namespace {

bool ListBelow(const std::string& root, const std::string& relative,
               std::vector<std::string>& files, std::vector<std::string>& links,
               std::vector<std::string>* folders) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(root + relative + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::string name = Utf8(found.cFileName);
    if (name == "." || name == "..") continue;
    const std::string path = relative + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
      links.push_back(path);
    else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (folders) folders->push_back(path);
      ListBelow(root, path + "/", files, links, folders);
    } else
      files.push_back(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

}  // namespace

bool ListFiles(const std::string& root, std::vector<std::string>& files,
               std::vector<std::string>& links, std::vector<std::string>* folders) {
  std::string base = root;
  if (base.empty() || (base.back() != '/' && base.back() != '\\')) base += '/';
  return ListBelow(base, "", files, links, folders);
}

bool CreatePrivateFile(const std::string& path, const std::string& data) {
  // A new file inherits the folder's permissions; the user's own folders are private to them.
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
      written == data.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (!ok) DeleteFileW(Wide(path).c_str());
  return ok;
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::size_t MaxPathLength() {
  return MAX_PATH - 1;
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
    const std::string prefix = path.substr(0, i);
    // A drive ("C:") or the root needs no making.
    if (prefix.empty() || (prefix.size() == 2 && prefix[1] == ':')) continue;
    if (!DirectoryExists(prefix) && !CreateDirectoryW(Wide(prefix).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return DirectoryExists(path);
}

std::string ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      std::string path = Utf8(buffer.data(), n);
      for (char& c : path) {
        if (c == '\\') c = '/';
      }
      return path;
    }
    buffer.resize(buffer.size() * 2);
  }
}

TFolderLock::TFolderLock(const std::string& folder) {
  // A named mutex per folder: the folder's final path (the system's one spelling of it, whatever
  // drive, link or letter case it was named by), upper-cased, hashed into the name, which may
  // not hold backslashes.
  const std::string full = RealPath(folder);
  if (full.empty()) return;
  std::uint64_t hash = 14695981039346656037ull;
  for (std::size_t i = 0; i < full.size(); ++i) {
    char c = full[i] == '/' ? '\\' : full[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '\\' && i + 1 == full.size()) break;  // "C:\Game\" and "C:\Game" are one folder
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  char name[64];
  wsprintfA(name, "KovaUpdaterFolder-%08lx%08lx", static_cast<unsigned long>(hash >> 32),
            static_cast<unsigned long>(hash));
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
  if (!mutex) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    busy_ = true;
    CloseHandle(mutex);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  held_ = true;
}

TFolderLock::~TFolderLock() {
  if (held_) {
    HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
}

bool StreamModifySeconds(TStream& stream, std::int64_t& seconds) {
  auto* file = dynamic_cast<TFileStream*>(&stream);
  if (!file) return false;
  seconds = file->ModifySeconds();
  return true;
}

std::int64_t FreeDiskSpace(const std::string& folder, std::int64_t* total) {
  ULARGE_INTEGER available{}, size{};
  if (!GetDiskFreeSpaceExW(Wide(folder).c_str(), &available, &size, nullptr)) return -1;
  if (total) *total = static_cast<std::int64_t>(size.QuadPart);
  return static_cast<std::int64_t>(available.QuadPart);
}

bool SyncFolderOf(const std::string&) {
  return true;  // NTFS keeps a rename with the file's own flushed data
}

std::unique_ptr<TStream> OpenFileStream(const std::string& path, TFileMode mode) {
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING, flags = FILE_ATTRIBUTE_NORMAL;
  if (mode == TFileMode::Create) {
    // Whatever stands at the name goes first, and the new file is made only where nothing
    // stands: a link planted at the name is never written through.
    access |= GENERIC_WRITE;
    DeleteFileW(Wide(path).c_str());
    disposition = CREATE_NEW;
  } else if (mode == TFileMode::OpenReadWrite) {
    access |= GENERIC_WRITE;
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;  // a link is opened as itself, and refused below
  }
  HANDLE handle = CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                              flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    throw EStreamError("Cannot open file \"" + path + "\". " + ErrorText(code),
                       static_cast<int>(code));
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    const DWORD code = GetLastError();
    CloseHandle(handle);
    throw EStreamError("Cannot open file \"" + path + "\". " + ErrorText(code),
                       static_cast<int>(code));
  }
  const std::int64_t size =
      (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return std::make_unique<TFileStream>(handle, path, size, FromFileTime(info.ftLastWriteTime),
                                       mode == TFileMode::OpenRead);
}

char ShownSeparator() {
  return '\\';
}

}  // namespace kova::platform
