#pragma once
// tStringHash: a map from case-insensitive byte-string keys to object pointers.
//
// The iteration order is observable (it is the order in which an update run visits files), so
// the hashing, growth and chaining are fixed: h = h * 31 + upper(byte) in wrapping 32-bit
// arithmetic, bucket = |h| mod bucket count, new entries pushed at the head of their chain, and
// growth to 2n + 1 buckets when the entry count passes three quarters of the bucket count.
// The map owns its keys and entries but not its values, except when cleared with freeValues.

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/error.h"
#include "support/text.h"

namespace kova {

inline std::int32_t StringHashOf(const std::string& key) {
  std::uint32_t h = 0;
  for (char c : key) h = h * 31u + static_cast<unsigned char>(UpperAscii(c));
  return static_cast<std::int32_t>(h);
}

template <class T>
class tStringHash {
  struct Entry {
    std::string Key;
    std::int32_t Hash;  // kept so growth need not hash every key again
    T* Value;
    Entry* Next;
  };

 public:
  class Iterator {
   public:
    T* CurrentValue() const {
      Check();
      return entry_ ? entry_->Value : nullptr;
    }
    const std::string* CurrentKey() const {
      Check();
      return entry_ ? &entry_->Key : nullptr;
    }
    void Next() {
      Check();
      if (removed_) {
        removed_ = false;
        entry_ = follower_;
        bucket_ = followerBucket_;
        return;
      }
      if (!entry_) return;
      FindFrom(bucket_, entry_->Next);
    }
    void RemoveCurrent() {
      Check();
      if (!entry_) throw EListError("The entry is not valid");
      Entry* removedEntry = entry_;
      FindFrom(bucket_, entry_->Next);
      follower_ = entry_;
      followerBucket_ = bucket_;
      entry_ = nullptr;
      removed_ = true;
      const std::string key = removedEntry->Key;
      map_->Remove(key);
      stamp_ = map_->stamp_;
    }
    void SetCurrentValue(T* value) {
      Check();
      if (!entry_) throw EListError("The entry is not valid");
      entry_->Value = value;
    }

   private:
    friend class tStringHash;
    explicit Iterator(tStringHash* map) : map_(map), stamp_(map->stamp_) {
      FindFrom(0, map->buckets_.empty() ? nullptr : map->buckets_[0]);
    }
    void Check() const {
      if (stamp_ != map_->stamp_) throw EListError("Iterator no longer valid");
    }
    // Stands on `candidate` in `bucket`, or on the first entry of a later non-empty bucket.
    void FindFrom(std::size_t bucket, Entry* candidate) {
      while (!candidate && ++bucket < map_->buckets_.size()) candidate = map_->buckets_[bucket];
      entry_ = candidate;
      bucket_ = candidate ? bucket : map_->buckets_.size();
    }

    tStringHash* map_;
    std::uint64_t stamp_;
    Entry* entry_ = nullptr;
    std::size_t bucket_ = 0;
    bool removed_ = false;
    Entry* follower_ = nullptr;
    std::size_t followerBucket_ = 0;
  };

  tStringHash() : buckets_(10, nullptr), threshold_(ThresholdFor(10)) {}
  ~tStringHash() { Clear(false); }
  tStringHash(const tStringHash&) = delete;
  tStringHash& operator=(const tStringHash&) = delete;

  // Returns false when the key was present: its value is replaced (not freed; handed out through
  // `replaced` when asked), its key kept.
  bool Put(const std::string& key, T* value, T** replaced = nullptr) {
    const std::int32_t h = StringHashOf(key);
    if (Entry* e = Find(key, h)) {
      if (replaced) *replaced = e->Value;
      e->Value = value;
      return false;
    }
    ++stamp_;
    if (threshold_ < count_) Grow();
    Entry*& head = buckets_[BucketOf(h, buckets_.size())];
    head = new Entry{key, h, value, head};
    ++count_;
    return true;
  }

  bool Contains(const std::string& key) const { return Find(key, StringHashOf(key)) != nullptr; }

  T* Get(const std::string& key) const {
    Entry* e = Find(key, StringHashOf(key));
    return e ? e->Value : nullptr;
  }

  // Unlinks the entry and returns its value, which the caller now owns; null when absent.
  T* Remove(const std::string& key) {
    Entry** link = &buckets_[BucketOf(StringHashOf(key), buckets_.size())];
    while (*link) {
      Entry* e = *link;
      if (SameTextAscii(e->Key, key)) {
        *link = e->Next;
        T* value = e->Value;
        delete e;
        --count_;
        ++stamp_;
        return value;
      }
      link = &e->Next;
    }
    return nullptr;
  }

  bool ContainsValue(const T* value) const {
    for (Entry* head : buckets_) {
      for (Entry* e = head; e; e = e->Next) {
        if (e->Value == value) return true;
      }
    }
    return false;
  }

  std::size_t Count() const { return count_; }
  std::size_t BucketCount() const { return buckets_.size(); }

  void Clear(bool freeValues) {
    for (Entry*& head : buckets_) {
      while (head) {
        Entry* e = head;
        head = e->Next;
        if (freeValues) delete e->Value;
        delete e;
      }
    }
    if (count_ != 0) ++stamp_;
    count_ = 0;
  }

  std::unique_ptr<Iterator> Iterate() { return std::unique_ptr<Iterator>(new Iterator(this)); }

 private:
  static std::size_t ThresholdFor(std::size_t buckets) {
    // Rounded to the nearest integer, halves to even: 10 buckets give 8.
    return static_cast<std::size_t>(std::nearbyint(static_cast<double>(buckets) * 0.75));
  }
  static std::size_t BucketOf(std::int32_t h, std::size_t buckets) {
    const std::uint32_t magnitude = h < 0
                                        ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(h))
                                        : static_cast<std::uint32_t>(h);
    return magnitude % buckets;
  }

  Entry* Find(const std::string& key, std::int32_t h) const {
    for (Entry* e = buckets_[BucketOf(h, buckets_.size())]; e; e = e->Next) {
      if (e->Hash == h && SameTextAscii(e->Key, key)) return e;
    }
    return nullptr;
  }

  void Grow() {
    std::vector<Entry*> grown(buckets_.size() * 2 + 1, nullptr);
    for (Entry* head : buckets_) {
      for (Entry* e = head; e;) {
        Entry* next = e->Next;
        Entry*& target = grown[BucketOf(e->Hash, grown.size())];
        e->Next = target;
        target = e;
        e = next;
      }
    }
    buckets_.swap(grown);
    threshold_ = ThresholdFor(buckets_.size());
    ++stamp_;
  }

  std::vector<Entry*> buckets_;
  std::size_t count_ = 0;
  std::size_t threshold_;
  std::uint64_t stamp_ = 0;
};

}  // namespace kova
