#pragma once
// The archives of the records after the one being worked on, fetched while it is checked,
// unpacked and replaced, so that a run over many files waits on the link's bandwidth rather than
// on a round trip per file. Only what is known without reading a file is fetched ahead: a
// missing file, or one whose size is not the listed one. Every transfer writes only its
// archive's ".part" file and then the archive's name; the game's files are touched only by the
// record in its turn, which takes its fetched archive from here and checks it as it would one
// it fetched itself.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/patch_list.h"
#include "workers/decompress_thread.h"
#include "workers/download_thread.h"

namespace kova {

class TTransferSession;

// The local path of a published name: the game folder, and the name with "/" separators.
std::string LocalPath(const std::string& home, const std::string& name);
// The most an archive of a file of `size` bytes can take: LZMA never grows data by more than a
// small fraction, so a download past this is no archive of that file.
std::int64_t ArchiveSizeBound(std::int64_t size);
// The path of a record's archive beside the list.
std::string ArchivePath(const TPatchItem& item);
// The name a file's new copy is written under beside it until it takes the file's place.
inline std::string FreshPath(const std::string& local) {
  return local + ".kovanew";
}

class TFetchAhead {
 public:
  struct TSettings {
    std::string Home;
    std::shared_ptr<TSource> Published;   // where the archives are
    TTransferSession* Session = nullptr;  // what the run's transfers share
    // Transfers at once (the player's connections), the record's own included: 1 fetches
    // nothing ahead. A server that speaks HTTP/2 takes more on its one connection.
    int Transfers = 1;
    bool Sha256 = false;  // the archives are to be judged by their signed digests
    // Files the new list no longer names are on the disk: a missing file may be one of them
    // renamed.
    bool OlderCopies = false;
    bool SoftCheck(const std::string& name) const { return IsSoftCheck && IsSoftCheck(name); }
    std::function<bool(const std::string&)> IsSoftCheck;
    // Archives unpacked at once ahead of their turn, beside the files they replace: the cores
    // the record in its turn leaves idle. 0 unpacks nothing ahead.
    int Unpackers = 0;
    // The stage of a pre-loaded version: a record whose new file or archive lies there takes it
    // in its turn and fetches nothing. Empty: none.
    std::string Stage;
    // The folder under the list's where the archives are published ("next/" for the next
    // version's).
    std::string ArchivePrefix;
  };

  TFetchAhead(const std::vector<TPatchItem*>& order, TSettings settings,
              const platform::TEvent* cancelEvent, TWorkerProgressEvent onProgress);
  // Stops every transfer still running; their partial files stay for the next run.
  ~TFetchAhead();
  TFetchAhead(const TFetchAhead&) = delete;
  TFetchAhead& operator=(const TFetchAhead&) = delete;

  // Starts transfers for the records after `head` (an index into the order), as far as the
  // limits allow; `headTransferring`: the record in its turn has a transfer running, which
  // counts as one of them.
  void TopUp(std::size_t head, bool headTransferring = false);
  // Nothing is fetched ahead until the run has judged its free space.
  void Allow() { allowed_ = true; }
  // Hands over the transfer fetched ahead for `item`, whose progress is shown from now on; null
  // when there is none.
  std::unique_ptr<TDownloadThread> Take(const TPatchItem& item);
  // Hands over the unpacking started ahead for `item` (of its checked archive, into its new
  // copy's name), running or ended; null when there is none.
  std::unique_ptr<TDecompressThread> TakeUnpack(const TPatchItem& item);
  // The record needs no archive after all: its transfer is stopped and what it fetched removed.
  void Drop(const TPatchItem& item);
  std::size_t Running() const;
  // The most the dictionaries of the decoders working ahead may hold together, each counted as
  // its file's size up to kLargestWindow.
  static constexpr std::int64_t kUnpackMemory = 192ll * 1024 * 1024;
  static constexpr std::int64_t kLargestWindow = 64ll * 1024 * 1024;
  // The copies unpacked ahead that wait for their turn (or for the disk) at once, for each
  // decoder.
  static constexpr std::size_t kCopiesPerDecoder = 4;

  // What the archives fetched ahead and not yet taken may hold together.
  static constexpr std::int64_t kBudget = 256ll * 1024 * 1024;
  // Left free on the disk beyond them, for the unpacked files and the player's own: at least
  // this, and never the last twentieth of the disk, which the system and other programs need.
  static constexpr std::int64_t kDiskReserve = 64ll * 1024 * 1024;
  static constexpr std::int64_t kDiskShareKept = 20;
  // Records looked at by one top-up at the most.
  static constexpr std::size_t kLooksPerTopUp = 64;

 private:
  bool WantsArchive(const TPatchItem& item) const;
  // Starts unpacking the archives fetched ahead whose transfers have ended well, in the list's
  // order after `head`, as far as the unpackers, the memory and the disk allow.
  void UnpackArrived(std::size_t head);
  std::int64_t UnpackWindow(const TPatchItem& item) const;

  const std::vector<TPatchItem*>& order_;
  const TSettings settings_;
  const platform::TEvent* const cancelEvent_;
  const TWorkerProgressEvent onProgress_;
  std::size_t next_ = 0;  // the first record not yet looked at
  std::map<const TPatchItem*, std::unique_ptr<TDownloadThread>> jobs_;
  std::map<const TPatchItem*, std::unique_ptr<TDecompressThread>> unpacks_;
  std::int64_t unpackMemory_ = 0;  // the windows of the unpacks not yet taken
  std::int64_t unpackBytes_ = 0;   // and the sizes of their new copies
  std::int64_t pendingBytes_ = 0;
  bool allowed_ = false;
  // The record whose transfer reports progress: the one in its turn.
  std::atomic<const TPatchItem*> shown_{nullptr};
};

}  // namespace kova
