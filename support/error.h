#pragma once
// Exceptions raised by the readers, converters and containers. Each carries the exact text that
// callers either show, replace with their own, or ignore.

#include <stdexcept>
#include <string>

namespace kova {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message, int osError = 0)
      : std::runtime_error(message), osError_(osError) {}
  // The system's code for the call that failed (errno, or GetLastError on Windows), taken at the
  // failing call; 0 when no system call failed.
  int OsError() const { return osError_; }

 private:
  int osError_;
};

// Text that is not a number, a date or a checksum where one is required.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A stream that cannot deliver or take the bytes asked of it.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// Misuse of a container: an index outside a list, a stale iterator.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace kova
