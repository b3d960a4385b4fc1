#pragma once
// An update that arrives as one file (kova-publish bundle): a tar archive of the list, its
// signature and the archives, chunk indexes and chunks a player needs. It is read as a server
// would be: the list and its signature are judged as if downloaded, and every piece is checked
// where it is used, as one fetched is. What it lacks comes from the server.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "support/stream.h"

namespace kova {

class TBundle {
 public:
  // Reads the members' names and places; false, with the reason in `why`, for a file that is no
  // whole tar archive (cut short, a broken header, a member beyond the file's end) or holds
  // more members than a game's publication.
  bool Open(const std::string& path, std::string& why);
  bool Has(const std::string& member) const { return members_.count(member) != 0; }
  // A member's bytes, when it is there and at most `most` long.
  bool Text(const std::string& member, std::int64_t most, std::string& out) const;
  // Writes a member to `target` (through a name beside it, made where nothing stands); false
  // when it is not there or cannot be written.
  bool CopyTo(const std::string& member, const std::string& target) const;
  const std::string& Path() const { return path_; }

  static constexpr std::size_t kMaxMembers = 1 << 20;
  static constexpr std::size_t kMaxName = 4096;

 private:
  struct TPlace {
    std::int64_t Offset = 0;
    std::int64_t Size = 0;
  };
  std::string path_;
  std::map<std::string, TPlace> members_;
};

}  // namespace kova
