#pragma once
// Where a published object is fetched from: the addresses of one publication (a primary server
// and its mirrors), with what this run has learnt of each. A request that fails on one address
// goes to the next; the run keeps to the address that last answered well until it fails, and an
// address that failed is tried after every other.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kova {

class TSource {
 public:
  // `bases`: the addresses in the publisher's order, the primary first. An object's address is
  // a base followed by the object's path (an empty path names the base itself).
  explicit TSource(std::vector<std::string> bases);

  std::size_t Count() const { return bases_.size(); }
  const std::string& Base(std::size_t index) const { return bases_[index]; }
  // The indexes of the bases in the order to try them now.
  std::vector<std::size_t> Order() const;
  void NoteAnswered(std::size_t index);
  void NoteFailed(std::size_t index);
  // Whether every address has failed in this run (and none answered well since).
  bool AllFailed() const;

 private:
  const std::vector<std::string> bases_;
  mutable std::mutex mutex_;
  // For each base, when it last failed (a count of failures in this run); 0: it has not.
  std::vector<std::uint64_t> failedAt_;
  std::uint64_t failures_ = 0;
  std::size_t preferred_ = 0;  // the base that last answered well (the primary at first)
};

// What a transfer fetches: an object's path on a source, or one address as it is.
struct TAddress {
  // One address is a source of its own: a URL converts.
  TAddress(std::string url)
      : Source(std::make_shared<TSource>(std::vector<std::string>{std::move(url)})) {}
  TAddress(const char* url) : TAddress(std::string(url)) {}
  TAddress(std::shared_ptr<TSource> source, std::string path)
      : Source(std::move(source)), Path(std::move(path)) {}

  std::string UrlAt(std::size_t index) const { return Source->Base(index) + Path; }
  // The address the source would try first.
  std::string FirstUrl() const { return UrlAt(Source->Order().front()); }

  std::shared_ptr<TSource> Source;
  std::string Path;
};

// The base of each address of a document: everything up to its last "/", where the objects it
// names are published.
std::vector<std::string> FolderBases(const std::vector<std::string>& documentUrls);

}  // namespace kova
