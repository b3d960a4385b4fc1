#include "core/mask.h"

#include "support/text.h"

namespace kova {
namespace {

constexpr int kMaxStarStates = 30;

}  // namespace

TMask::TMask(const std::string& maskText) {
  std::size_t p = 0;  // 0-based; error positions are reported 1-based
  bool skipTo = false;
  int starStates = 0;
  auto invalid = [&](std::size_t at) {
    throw EMaskError("'" + maskText + "' is an invalid mask at (" + std::to_string(at + 1) + ")");
  };
  auto add = [&](TMaskState s, std::size_t at) {
    s.SkipTo = skipTo;
    if (skipTo && ++starStates > kMaxStarStates) invalid(at);
    states_.push_back(s);
    skipTo = false;
  };
  const std::size_t n = maskText.size();
  if (n > kMaxLength) invalid(kMaxLength);
  for (; p < n; ++p) {
    const char c = maskText[p];
    if (c == '*') {
      skipTo = true;
    } else if (c == '?') {
      // After a pending "*" a "?" adds nothing: "*?x" behaves as "*x".
      if (!skipTo) add(TMaskState{TState::Any, false, 0, false, {}}, p);
    } else if (c == '[') {
      TMaskState s{TState::Set, false, 0, false, {}};
      ++p;
      if (p < n && maskText[p] == '!') {
        s.Negate = true;
        ++p;
      }
      int last = -1;  // the member before a "-"
      while (p < n && maskText[p] != ']') {
        // A "-" just before the closing "]" ends no range: it is a member of its own, as in
        // "[a-]" for "a" or "-".
        const bool closesSet = p + 1 < n && maskText[p + 1] == ']';
        if (maskText[p] == '-' && (last < 0 || !closesSet)) {
          if (last < 0) invalid(p);
          ++p;
          if (p >= n) break;  // unclosed set
          const auto end = static_cast<unsigned char>(UpperAscii(maskText[p]));
          for (int m = last; m <= end; ++m) s.Set.set(static_cast<std::size_t>(m));
        } else {
          last = static_cast<unsigned char>(UpperAscii(maskText[p]));
          s.Set.set(static_cast<std::size_t>(last));
        }
        ++p;
      }
      if (p >= n || s.Set.none()) invalid(p);
      add(s, p);
    } else {
      add(TMaskState{TState::Literal, false, UpperAscii(c), false, {}}, p);
    }
  }
  add(TMaskState{TState::End, false, 0, false, {}}, n);
  BuildTables();
}

void TMask::BuildTables() {
  const std::size_t positions = states_.size();  // 0 .. the number of states before the end
  words_ = (positions + 63) / 64;
  accept_.assign(256 * words_, 0);
  loop_.assign(words_, 0);
  for (std::size_t j = 0; j < positions; ++j) {
    const TMaskState& s = states_[j];
    if (s.SkipTo) loop_[j / 64] |= std::uint64_t{1} << (j % 64);
    if (s.State == TState::End) continue;
    for (int c = 0; c < 256; ++c) {
      if (StateMatches(s, static_cast<unsigned char>(c))) {
        accept_[static_cast<std::size_t>(c) * words_ + (j + 1) / 64] |= std::uint64_t{1}
                                                                        << ((j + 1) % 64);
      }
    }
  }
}

bool TMask::StateMatches(const TMaskState& s, unsigned char c) const {
  switch (s.State) {
    case TState::Literal:
      return UpperAscii(static_cast<char>(c)) == s.Literal;
    case TState::Any:
      return true;
    case TState::Set:
      return s.Negate != s.Set.test(static_cast<unsigned char>(UpperAscii(static_cast<char>(c))));
    case TState::End:
      return false;
  }
  return false;
}

bool TMask::Matches(const std::string& name) const {
  // All positions the mask can be in are followed at once, a byte at a time: the work is the
  // name's length times a few words, with no backtracking a hostile mask could multiply.
  std::vector<std::uint64_t> reach(words_, 0), next(words_, 0);
  reach[0] = 1;
  for (const char ch : name) {
    const std::uint64_t* accept =
        &accept_[static_cast<std::size_t>(static_cast<unsigned char>(ch)) * words_];
    std::uint64_t carry = 0;
    bool any = false;
    for (std::size_t w = 0; w < words_; ++w) {
      const std::uint64_t shifted = (reach[w] << 1) | carry;
      carry = reach[w] >> 63;
      next[w] = (shifted & accept[w]) | (reach[w] & loop_[w]);
      any = any || next[w] != 0;
    }
    if (!any) return false;
    reach.swap(next);
  }
  const std::size_t end = states_.size() - 1;
  return (reach[end / 64] >> (end % 64)) & 1;
}

}  // namespace kova
