#pragma once
// The last accepted copy of a downloaded document (the options, the patch list), kept with its
// signature and the validators its server gave (ETag, Last-Modified) in the settings folder. The
// next run asks the server whether it changed; on "304 Not Modified" the kept copy is used, and
// judged as a downloaded one would be, so an unchanged launch costs a request, not the document.

#include <string>
#include <vector>

namespace kova {

class TKeptDocument {
 public:
  // `folder`: where the copies of one game are kept (empty: nothing is kept); `name`: which
  // document ("options", "patchlist").
  TKeptDocument(std::string folder, std::string name);

  // Reads the copy kept for the document at `url`: false when there is none, it was kept for
  // another document, or any part of it is missing or unusable.
  bool Load(const std::string& url);
  // The request lines that ask for the document only when it changed; none without a copy.
  // They are for the address that gave them (From) alone: a mirror's validators mean nothing
  // to the primary, and may be refused there.
  std::vector<std::string> ConditionalHeaders() const;
  // Keeps `body` with its signature (empty: none) and the validators that `from` (one of the
  // document's addresses) answered with. A copy is never half-written: the validators go first
  // and come back last, so an interrupted save leaves no copy the next request could be
  // answered with.
  bool Save(const std::string& url, const std::string& body, const std::string& signature,
            const std::string& etag, const std::string& lastModified, const std::string& from);
  // Forgets the copy (one that no longer verifies).
  void Forget();

  std::string Body;
  std::string Signature;
  std::string ETag;
  std::string LastModified;
  std::string From;  // the address whose validators these are

  // The folder for a game's kept documents below the settings folder: its uid made safe for a
  // file name; empty when there is no settings folder or no uid.
  static std::string FolderFor(const std::string& settingsFolder, const std::string& uid);
  // Larger kept files are not read back (a list is a few megabytes at most).
  static constexpr std::size_t kMaxSize = 64u << 20;

 private:
  std::string Path(const char* suffix) const;
  const std::string folder_;
  const std::string name_;
};

}  // namespace kova
