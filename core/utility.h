#pragma once
// Small routines the start-up code, the update run and the window share.

#include <cstdint>
#include <string>
#include <vector>

#include "support/datetime.h"

namespace kova {

// The folder separator of local paths; `HomeDir` always ends with it.
constexpr char PathDelim = '/';

int FindProcessByPath(const std::string& path);
std::int64_t GetFileSize64(const std::string& path);
// Last-write time in local time packed as an MS-DOS date (high 16 bits) and time (low 16 bits,
// two-second resolution); -1 on failure or for a date the format cannot hold.
std::int32_t GetFileDosDate(const std::string& path);
// Packs a last-write time (seconds since 1970, UTC) as GetFileDosDate does; -1 when it cannot.
std::int32_t PackDosDate(std::int64_t seconds);
// GetFileSize64 and GetFileDosDate in one look at the file; false when it does not exist.
bool GetFileSizeAndDosDate(const std::string& path, std::int64_t& size, std::int32_t& dosDate);
// Starts `program` with `parameters` (one text, as a command line carries it) in `directory`.
bool ExecuteFile(const std::string& program, const std::string& parameters,
                 const std::string& directory);
// Last-write time as a local date-time with milliseconds dropped; -1 on failure.
TDateTime GetFileModifyTime(const std::string& path);
bool SetFileModifyTime(const std::string& path, TDateTime time);
// Whether a date (a server's Last-Modified, a file's date) lies more than a day after this
// machine's clock: no publication is dated so, and one that is would make everything published
// later look older.
bool IsAheadOfClock(TDateTime date);

// 1-based position of the last `c` in `s`, 0 when absent.
std::size_t LastCharPos(char c, const std::string& s);
// Position 0 holds `s`; positions 1 to n+1 the fields between the n delimiters.
std::vector<std::string> SplitByChar(char c, const std::string& s);
// Only "http://" and "https://" addresses (any letter case) are used at all.
bool IsWebUrl(const std::string& s);
std::string BackslashToSlash(const std::string& s);

// The position of the last folder separator of `path` (either kind on Windows), or npos.
std::size_t LastDelimiterPos(const std::string& path);
// The folder part of a path, including its final separator; empty when there is none.
std::string ExtractFilePath(const std::string& path);
// The file name of a path: what follows its last separator.
std::string ExtractFileName(const std::string& path);
// Writes `data` as the file `path`, whole or not at all: beside it first, put on the disk, then
// in its place (replacing what stood there). Raises EStreamError when it cannot; nothing is left
// behind then.
void WriteFileWhole(const std::string& path, const std::string& data);
constexpr const char* kWholeWriteSuffix = ".kovatmp";
// Removes `folder` with everything in it. A link met (the folder itself, or one inside it) is
// removed as a link: nothing is ever removed through one.
void RemoveTree(const std::string& folder);
// A text as a line of `most` bytes can hold it: a longer one keeps its start and its end (a
// reason's host and its cause) with "..." between, cut where characters begin.
std::string FitText(const std::string& text, std::size_t most);
// Megabytes (of 1024 x 1024 bytes) with one decimal, rounded up or down.
std::string Megabytes(std::int64_t bytes, bool up);
// What a run's downloads have done and have left, as the window and the console show it:
// "12.3 of 310.0 MB done, 4.2 MB/s, 1:12 left"; without the rate and time while `rate` (bytes a
// second) is not known yet.
std::string TransferText(std::int64_t done, std::int64_t total, double rate);

// `path` with the extension of its file name (from the last "." after the last separator)
// replaced by `extension`; a name without one gets it appended.
std::string ChangeFileExt(const std::string& path, const std::string& extension);

}  // namespace kova
