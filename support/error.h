#pragma once
// Exceptions raised by the readers, converters and containers. Each carries the exact text that
// callers either show, replace with their own, or ignore.

#include <stdexcept>
#include <string>

namespace kova {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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
