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
}

bool TMask::StateMatches(const TMaskState& s, unsigned char c) const {
  switch (s.State) {
    case TState::Literal: return UpperAscii(static_cast<char>(c)) == s.Literal;
    case TState::Any: return true;
    case TState::Set: return s.Negate != s.Set.test(static_cast<unsigned char>(UpperAscii(static_cast<char>(c))));
    case TState::End: return false;
  }
  return false;
}

bool TMask::Matches(const std::string& name) const {
  // reach[i]: the states before state k have consumed exactly the first i characters. A state
  // with SkipTo may first skip any run, so reach spreads forward before it is applied.
  const std::size_t n = name.size();
  std::vector<char> reach(n + 1, 0), next(n + 1, 0);
  reach[0] = 1;
  for (const TMaskState& s : states_) {
    if (s.SkipTo) {
      for (std::size_t i = 1; i <= n; ++i) reach[i] = static_cast<char>(reach[i] || reach[i - 1]);
    }
    if (s.State == TState::End) return reach[n] != 0;
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (reach[i] && StateMatches(s, static_cast<unsigned char>(name[i]))) {
        next[i + 1] = 1;
        any = true;
      }
    }
    if (!any) return false;
    reach.swap(next);
  }
  return false;
}

}  // namespace kova
