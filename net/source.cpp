#include "net/source.h"

#include <algorithm>
#include <stdexcept>

namespace kova {

TSource::TSource(std::vector<std::string> bases)
    : bases_(std::move(bases)), failedAt_(bases_.size(), 0) {
  if (bases_.empty()) throw std::invalid_argument("a source needs an address");
}

std::vector<std::size_t> TSource::Order() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < bases_.size(); ++i) order.push_back(i);
  // The one that answered well last, while it has not failed since; then the others in the
  // publisher's order; those that failed last of all, the longest ago first.
  std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    if (failedAt_[a] != failedAt_[b]) {
      if (failedAt_[a] == 0 || failedAt_[b] == 0) return failedAt_[a] == 0;
      return failedAt_[a] < failedAt_[b];
    }
    return a == preferred_ && b != preferred_;
  });
  return order;
}

void TSource::NoteAnswered(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  failedAt_[index] = 0;
  preferred_ = index;
}

void TSource::NoteFailed(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  failedAt_[index] = ++failures_;
}

bool TSource::AllFailed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(failedAt_.begin(), failedAt_.end(), 0u) == failedAt_.end();
}

std::vector<std::string> FolderBases(const std::vector<std::string>& documentUrls) {
  std::vector<std::string> bases;
  for (const std::string& url : documentUrls) {
    const std::size_t slash = url.rfind('/');
    bases.push_back(slash == std::string::npos ? std::string() : url.substr(0, slash + 1));
  }
  return bases;
}

}  // namespace kova
