#ifndef CORVATEL_SNAPSHOT_SNAPSHOT_NAMES_H
#define CORVATEL_SNAPSHOT_SNAPSHOT_NAMES_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvatel {

/// One stored name: a view of its text, which is also NUL-terminated.
class StoredName : public std::string_view {
 public:
  StoredName(const char* text, std::size_t length) : std::string_view(text, length) {}
  const char* c_str() const { return data(); }
};

/// The text before the first "@" of a name, or the whole name when it has none.
std::string_view name_dataset(std::string_view name);

/// Names in the order added, copied back to back into a few large blocks instead of one
/// allocation each, and chained by name_dataset so that one dataset's names are visited
/// without looking at any other. A stored name keeps its address until clear().
class SnapshotNames {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = StoredName;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = StoredName;

    const_iterator() = default;
    const_iterator(const SnapshotNames* names, std::size_t position)
        : names_(names), position_(position) {}
    StoredName operator*() const { return (*names_)[position_]; }
    const_iterator& operator++() {
      ++position_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++position_;
      return before;
    }
    bool operator==(const const_iterator&) const = default;

   private:
    const SnapshotNames* names_ = nullptr;
    std::size_t position_ = 0;
  };
  using iterator = const_iterator;

  SnapshotNames() = default;
  /// The names in order. Throws std::bad_alloc.
  SnapshotNames(std::initializer_list<std::string_view> names);
  SnapshotNames(const SnapshotNames& other);
  SnapshotNames& operator=(const SnapshotNames& other);
  SnapshotNames(SnapshotNames&& other) noexcept;
  SnapshotNames& operator=(SnapshotNames&& other) noexcept;
  ~SnapshotNames() = default;

  /// Appends a copy of `name`, which holds no NUL byte (name slots: 128 first, then
  /// doubling); 0, or -1 with nothing added when memory ran out or 2^32 - 1 names are held.
  int add(std::string_view name);
  /// As add(), but throws std::bad_alloc where add() returns -1.
  void push_back(std::string_view name);

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  /// The number of name slots allocated.
  std::size_t capacity() const;
  StoredName operator[](std::size_t position) const {
    const Entry& entry = entry_at(position);
    return StoredName(entry.text, entry.length);
  }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size_); }

  /// The position of the first name whose name_dataset is `dataset`, or npos.
  std::size_t first_of(std::string_view dataset) const;
  /// The position of the next name with the same name_dataset as the one at `position`,
  /// or npos.
  std::size_t next_of(std::size_t position) const;

  /// Releases every name and all storage.
  void clear();

 private:
  static constexpr std::uint32_t END = UINT32_MAX;  // no name

  // Storage for `count` objects of a trivial type, from std::allocator and left
  // uninitialized, so that only the pages written are ever touched.
  template <class T>
  class Storage {
   public:
    explicit Storage(std::size_t count)
        : data_(std::allocator<T>().allocate(count)), count_(count) {}
    Storage(Storage&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    Storage& operator=(Storage&& other) noexcept {
      std::swap(data_, other.data_);
      std::swap(count_, other.count_);
      return *this;
    }
    ~Storage() {
      if (data_ != nullptr) std::allocator<T>().deallocate(data_, count_);
    }
    T* data() const { return data_; }

   private:
    T* data_ = nullptr;
    std::size_t count_ = 0;
  };

  // One name: its text in a block, its length, and the next name of its dataset (or END).
  struct Entry {
    const char* text;
    std::uint32_t length;
    std::uint32_t next;
  };

  // One dataset: its first and last name and where its text is in keys_.
  struct Dataset {
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t key_offset;
    std::uint32_t length;
    std::uint32_t successor;  // the dataset of the name that came after its last one, or END
  };

  // The entries live in segments of 128, 128, 256, 512, ... slots, so that the slots grow by
  // doubling without ever being copied.
  static std::size_t segment_of(std::size_t position);
  static std::size_t segment_start(std::size_t segment);
  const Entry& entry_at(std::size_t position) const;
  Entry& entry_at(std::size_t position);

  bool is_key(const Dataset& known, std::string_view dataset) const;
  std::size_t find_slot(std::string_view dataset, std::uint64_t hash) const;
  int find_or_enter(std::string_view dataset, std::uint32_t& index);
  int reserve_dataset(std::string_view dataset, std::uint64_t hash, std::size_t& slot);
  int grow_slots();
  int reserve_text(std::size_t size);
  void swap(SnapshotNames& other) noexcept;

  std::vector<Storage<Entry>> segments_;
  std::size_t size_ = 0;
  // Every name added looks its dataset up, so the lookup structures are small and dense:
  // slots_ is an open-addressing table (a power of two, at most half full) of the upper half
  // of a dataset's hash and its position in datasets_ + 1 (0: free).
  std::vector<std::uint64_t> slots_;
  std::vector<Dataset> datasets_;
  std::string keys_;  // every dataset's name, back to back
  // The dataset of the last name added. A listing names its datasets in much the same order
  // time after time, so the dataset that followed this one last time is tried first: that
  // reads the datasets in order instead of at hashed places.
  std::uint32_t last_dataset_ = END;
  std::vector<Storage<char>> blocks_;
  char* free_text_ = nullptr;  // the unused end of the last block
  std::size_t free_size_ = 0;
  std::size_t next_block_size_ = 0;
};

/// True when `names` holds exactly `expected`, in order.
bool operator==(const SnapshotNames& names, const std::vector<std::string>& expected);

}  // namespace corvatel

#endif
