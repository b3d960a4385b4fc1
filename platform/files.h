#pragma once
// Files and folders. Paths are byte strings in the system's code page, with "/" separators
// (Windows takes them as well as backslashes).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/stream.h"

namespace kova::platform {

// Whether `c` separates folders in a path of this system: "/" everywhere, and "\\" on Windows,
// where the system and the player write paths with it.
bool IsPathDelimiter(char c);
// The path with this system's other separators written as "/".
std::string NormalisePath(const std::string& path);

bool FileExists(const std::string& path);  // a non-directory entry
// The folder separator the platform's players read in a path ('/', or '\\' on Windows).
char ShownSeparator();
bool DirectoryExists(const std::string& path);
// Size of a file that is not a directory; -1 when there is none.
std::int64_t FileSize(const std::string& path);
// Whether `path` itself is a symbolic link (not followed).
bool IsSymbolicLink(const std::string& path);
// Whether `path` itself is a plain file: no folder, link, device or pipe (not followed).
bool IsRegularFile(const std::string& path);
// Last-write time in seconds since 1970 (UTC); false when the file cannot be opened for reading.
bool FileModifySeconds(const std::string& path, std::int64_t& seconds);
// One look at a file that is not a directory: its size and last-write time, and whether this
// process may read it. False when there is no such file.
bool ProbeFile(const std::string& path, std::int64_t& size, std::int64_t& seconds, bool& readable);
// Sets only the last-write time; the file must be writable.
bool SetFileModifySeconds(const std::string& path, std::int64_t seconds);
// Moves a file or folder; never replaces an existing target.
bool MoveFileNoReplace(const std::string& from, const std::string& to);
// Copying over a program that may still run, in two halves so that only the second is retried
// while it runs: CopyBeside copies `from` beside `to` (as `to` + kCopySuffix, never through a
// link) with its permission bits (the run bit included) and last-write time, on the disk;
// PutCopyInPlace then puts that copy in `to`'s place in one move, and fails, keeping the copy,
// while `to` is a running program, as copying over a running executable does on Windows. The
// replacement is whole or absent, never half-written.
constexpr const char* kCopySuffix = ".kovacopy";
bool CopyBeside(const std::string& from, const std::string& to);
bool PutCopyInPlace(const std::string& to);
// Both halves at once; the copy is removed when its move fails.
bool CopyFileOver(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& path);  // files only
// Removes a folder that holds nothing; false otherwise.
bool RemoveEmptyFolder(const std::string& path);
// Gives `to` the permission bits of `from` (a downloaded build gets the launcher's run bit).
bool CopyFileMode(const std::string& from, const std::string& to);
// Whether the file is marked as a program that may be run (on systems that mark them).
bool IsExecutableFile(const std::string& path);
// Marks the file as a program that may be run by whoever may read it; true where files carry
// no such mark.
bool MakeExecutable(const std::string& path);
// Whether every folder on the way from `home` to the file `relative` ("/" separators) is a real
// folder of its own: none is a link, which could lead a write out of the game folder. Folders
// that do not exist yet count as real (they are made inside).
bool IsRealFolderChain(const std::string& home, const std::string& relative);
// The path made absolute and tidied ("." and ".." taken out, "/" separators), without
// following links; empty when it cannot be.
std::string AbsolutePath(const std::string& path);
// The path of an existing file or folder as the system finally resolves it: absolute, every link
// on the way followed ("/" separators). Empty when it does not exist or cannot be resolved.
std::string RealPath(const std::string& path);
// Every file below `root` (not following links), as paths relative to it with "/" separators,
// in no particular order; the links met (to files or folders) go to `links` instead. False when
// `root` cannot be read. `folders`, when given, receives the folders below `root`, each before
// those inside it.
bool ListFiles(const std::string& root, std::vector<std::string>& files,
               std::vector<std::string>& links, std::vector<std::string>* folders = nullptr);
// Moves a file over `to`, replacing a file there (or a link: never what it points at).
bool MoveFileReplacing(const std::string& from, const std::string& to);
// Puts the folder holding `path` on the disk itself, so that a rename into it survives a power
// cut (where the system needs it; true elsewhere).
bool SyncFolderOf(const std::string& path);
// The bytes this user may still write on the disk that holds `folder`; -1 when unknown. With
// `total`, the disk's whole size too.
std::int64_t FreeDiskSpace(const std::string& folder, std::int64_t* total = nullptr);
// Writes `data` to a new file that only its owner may read (a secret key); false when the file
// exists already or cannot be written whole, and then nothing is left behind.
bool CreatePrivateFile(const std::string& path, const std::string& data);
// The longest path the file functions take (Windows' ANSI functions stop at 259 characters).
std::size_t MaxPathLength();
// Creates the folder and any missing parents.
bool ForceDirectories(const std::string& path);
// The running program's own file.
std::string ExecutablePath();

// A lock on a folder for as long as the object lives, held against every other process that asks
// for the same folder: two launchers (of one game or of two) never repair one folder at once,
// where their partial files and backups would share names. Released by the system when the
// process ends, also on a crash. Nothing is written into the folder.
class TFolderLock {
 public:
  explicit TFolderLock(const std::string& folder);
  ~TFolderLock();
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;
  bool Held() const { return held_; }
  // Whether another process holds the folder (not held for another reason: no such folder).
  bool Busy() const { return busy_; }

 private:
  bool held_ = false;
  bool busy_ = false;
  std::intptr_t handle_ = -1;
};

// Last-write time (seconds since 1970, UTC) of an open file stream made by OpenFileStream.
bool StreamModifySeconds(TStream& stream, std::int64_t& seconds);

// A file opened as a stream. Modes: read an existing file; create a new file for writing in
// place of whatever file or link stands at the name (never writing through a link); open an
// existing file, not a link, for reading and writing.
enum class TFileMode { OpenRead, Create, OpenReadWrite };
// Raises EStreamError "Cannot open file \"%s\". %s" when the file cannot be opened.
std::unique_ptr<TStream> OpenFileStream(const std::string& path, TFileMode mode);
// The whole content of a file; raises EStreamError when it cannot be read or holds more than
// `most` bytes (-1: no limit).
std::string ReadFileWhole(const std::string& path, std::int64_t most = -1);

}  // namespace kova::platform
