#pragma once
// File-name masks: "*" for any run, "?" for one character, "[a-c]" and "[!a-c]" sets, anything
// else literally. Matching ignores the case of ASCII letters and covers the whole name.

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "support/error.h"

namespace kova {

class EMaskError : public Exception {
 public:
  using Exception::Exception;
};

class TMask {
 public:
  // Raises EMaskError "'%s' is an invalid mask at (%d)"; also for a mask longer than
  // kMaxLength bytes.
  explicit TMask(const std::string& maskText);
  // Takes time in proportion to the name's length, whatever the mask.
  bool Matches(const std::string& name) const;

  static constexpr std::size_t kMaxLength = 260;

 private:
  enum class TState { Literal, Any, Set, End };
  struct TMaskState {
    TState State;
    bool SkipTo;  // a "*" came before it
    char Literal;
    bool Negate;
    std::bitset<256> Set;
  };
  bool StateMatches(const TMaskState& s, unsigned char c) const;
  void BuildTables();
  std::vector<TMaskState> states_;
  // The mask as a set of positions run in parallel, one bit each: position j means "the first j
  // states have matched". accept_[c * words_ + w] holds the positions a byte c leads into, loop_
  // those that may take any byte and stay (a "*" before the next state).
  std::size_t words_ = 0;
  std::vector<std::uint64_t> accept_;
  std::vector<std::uint64_t> loop_;
};

class TMaskPair {
 public:
  explicit TMaskPair(const std::string& maskText) : Mask(maskText), MaskText(maskText) {}
  bool Matches(const std::string& name) const { return Mask.Matches(name); }

  TMask Mask;
  std::string MaskText;
};

}  // namespace kova
