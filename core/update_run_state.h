#pragma once
// What the stages of an update run share: the run's state.
// Private to the update run's sources.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/bundle.h"
#include "core/fetch_ahead.h"
#include "core/options.h"
#include "core/update_run.h"
#include "core/utility.h"
#include "net/source.h"
#include "platform/files.h"
#include "support/stream.h"
#include "support/translation.h"
#include "workers/chunk_threads.h"
#include "workers/download_thread.h"

namespace kova {

// A document's addresses: the first, and its mirrors that are web addresses, in their order.
std::vector<std::string> WebAddresses(const std::string& primary,
                                      const std::vector<std::string>& mirrors);

struct TUpdateRun::TRunState : TRepairShared {
  bool FromTimer = false;
  TMemoryStream Stream;
  TPatchMap Map;
  // The bundle the list and the pieces come from; none: the server.
  std::unique_ptr<TBundle> Bundle;
  // The files the list says the publisher removed.
  std::vector<TRemovedFile> Removed;
  TDateTime ListDate = 0;
  bool FreshList = false;
  std::string LastOptionsUrl;
  // Each document's addresses with what this run learnt of them, by its first address: its
  // signature is asked of the address that served it.
  std::map<std::string, std::shared_ptr<TSource>> Documents;
  std::size_t Processed = 0;
  std::size_t Total = 0;
  // The total bar counts bytes: each record's file (checked, or unpacked) and the downloads.
  std::int64_t FileBytes = 0, FileBytesDone = 0;
  // The downloads: the records whose archives are to come, their files' listed sizes together,
  // those of the files whose archives came and the archives' own, and what the session had
  // received before the records' turn.
  std::set<const TPatchItem*> ToFetch;
  std::int64_t FetchFiles = 0, FetchedFiles = 0, FetchedArchives = 0, ReceivedBefore = 0;
  std::chrono::steady_clock::time_point TransferShown{};
  bool Ended = false;
  std::chrono::steady_clock::time_point LastServed{};
  // The records in the order they are worked on, and the transfers of those after the one in
  // its turn.
  std::vector<TPatchItem*> Order;
  std::unique_ptr<TFetchAhead> Ahead;
  std::size_t Head = 0;                           // the record in its turn
  bool SpaceChecked = false;                      // the free space was judged
  const TDownloadThread* HeadTransfer = nullptr;  // its download, while it is waited for
  // Held while the records are worked on: no other launcher repairs the folder meanwhile.
  std::unique_ptr<platform::TFolderLock> FolderLock;
  void SyncFolders() {
    for (const std::string& folder : RenamedInto) platform::SyncFolderOf(folder);
    RenamedInto.clear();
  }
  ~TRunState() {
    SyncFolders();
    Map.Clear(true);
  }
};

struct TUpdateRun::TFetched {
  TDownloadOutcome Outcome = doFailed;
  bool NotModified = false;
  TDateTime ServerDate = 0;
  std::string ETag, LastModified, Signature;
  int ServedBy = -1;       // the address of the document's source that served it
  std::string ServedFrom;  // and that address itself
};

}  // namespace kova
