#pragma once
// File-name masks: "*" for any run, "?" for one character, "[a-c]" and "[!a-c]" sets, anything
// else literally. Matching ignores the case of ASCII letters and covers the whole name.

#include <bitset>
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
  // Raises EMaskError "'%s' is an invalid mask at (%d)".
  explicit TMask(const std::string& maskText);
  bool Matches(const std::string& name) const;

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
  std::vector<TMaskState> states_;
};

class TMaskPair {
 public:
  explicit TMaskPair(const std::string& maskText) : Mask(maskText), MaskText(maskText) {}
  bool Matches(const std::string& name) const { return Mask.Matches(name); }

  TMask Mask;
  std::string MaskText;
};

}  // namespace kova
