#include "snapshot/snapshot_names.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

namespace corvatel {
namespace {

constexpr std::size_t FIRST_SEGMENT = 128;  // also the first capacity
constexpr std::size_t SLOTS_FIRST_SIZE = 64;
constexpr std::uint64_t LOW_HALF = 0xffffffff;
constexpr std::size_t BLOCK_FIRST_SIZE = 4096;
constexpr std::size_t BLOCK_LARGEST_SIZE = std::size_t{1} << 20;

std::uint64_t hash_of(std::string_view dataset) {
  return std::hash<std::string_view>{}(dataset);
}

}  // namespace

std::string_view name_dataset(std::string_view name) { return name.substr(0, name.find('@')); }

SnapshotNames::SnapshotNames(std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) push_back(name);
}

SnapshotNames::SnapshotNames(const SnapshotNames& other) {
  for (StoredName name : other) push_back(name);
}

SnapshotNames& SnapshotNames::operator=(const SnapshotNames& other) {
  if (this != &other) {
    SnapshotNames copy(other);
    swap(copy);
  }
  return *this;
}

SnapshotNames::SnapshotNames(SnapshotNames&& other) noexcept { swap(other); }

SnapshotNames& SnapshotNames::operator=(SnapshotNames&& other) noexcept {
  SnapshotNames taken(std::move(other));
  swap(taken);
  return *this;
}

void SnapshotNames::swap(SnapshotNames& other) noexcept {
  segments_.swap(other.segments_);
  std::swap(size_, other.size_);
  slots_.swap(other.slots_);
  datasets_.swap(other.datasets_);
  keys_.swap(other.keys_);
  std::swap(last_dataset_, other.last_dataset_);
  blocks_.swap(other.blocks_);
  std::swap(free_text_, other.free_text_);
  std::swap(free_size_, other.free_size_);
  std::swap(next_block_size_, other.next_block_size_);
}

// Segment 0 holds positions 0 to 127, segment k >= 1 positions 128 * 2^(k-1) up to twice that.
std::size_t SnapshotNames::segment_of(std::size_t position) {
  return static_cast<std::size_t>(std::bit_width(position / FIRST_SEGMENT));
}

std::size_t SnapshotNames::segment_start(std::size_t segment) {
  return segment == 0 ? 0 : FIRST_SEGMENT << (segment - 1);
}

const SnapshotNames::Entry& SnapshotNames::entry_at(std::size_t position) const {
  std::size_t segment = segment_of(position);
  return segments_[segment].data()[position - segment_start(segment)];
}

SnapshotNames::Entry& SnapshotNames::entry_at(std::size_t position) {
  std::size_t segment = segment_of(position);
  return segments_[segment].data()[position - segment_start(segment)];
}

std::size_t SnapshotNames::capacity() const {
  return segments_.empty() ? 0 : segment_start(segments_.size());
}

bool SnapshotNames::is_key(const Dataset& known, std::string_view dataset) const {
  return std::string_view(keys_.data() + known.key_offset, known.length) == dataset;
}

// The slot holding `dataset`, or the free one where it belongs; slots_ must not be empty.
std::size_t SnapshotNames::find_slot(std::string_view dataset, std::uint64_t hash) const {
  std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    std::uint64_t held = slots_[slot];
    if (held == 0) return slot;
    if ((held >> 32) != (hash >> 32)) continue;
    if (is_key(datasets_[(held & LOW_HALF) - 1], dataset)) return slot;
  }
}

int SnapshotNames::grow_slots() {
  std::vector<std::uint64_t> grown;
  try {
    grown.resize(slots_.empty() ? SLOTS_FIRST_SIZE : slots_.size() * 2);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  grown.swap(slots_);
  for (std::uint64_t held : grown) {
    if (held == 0) continue;
    const Dataset& known = datasets_[(held & LOW_HALF) - 1];
    std::string_view key(keys_.data() + known.key_offset, known.length);
    slots_[find_slot(key, hash_of(key))] = held;
  }
  return 0;
}

// The dataset's slot; for a new dataset, also room for it in every table and in keys_.
int SnapshotNames::reserve_dataset(std::string_view dataset, std::uint64_t hash,
                                   std::size_t& slot) {
  if (!slots_.empty()) {
    slot = find_slot(dataset, hash);
    if (slots_[slot] != 0) return 0;
  }
  if (datasets_.size() >= END - 1 || dataset.size() >= END - keys_.size()) return -1;
  if ((datasets_.size() + 1) * 2 > slots_.size() && grow_slots() != 0) return -1;
  try {
    if (datasets_.size() == datasets_.capacity())
      datasets_.reserve(std::max(SLOTS_FIRST_SIZE / 2, datasets_.capacity() * 2));
    if (keys_.size() + dataset.size() > keys_.capacity())
      keys_.reserve(std::max(keys_.size() + dataset.size(), keys_.capacity() * 2));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  slot = find_slot(dataset, hash);
  return 0;
}

// The index in datasets_ of `dataset`: the successor of the last dataset when it is that one,
// else from the table, which gets the dataset (and every table room for it) when it is new.
int SnapshotNames::find_or_enter(std::string_view dataset, std::uint32_t& index) {
  if (last_dataset_ != END) {
    std::uint32_t guess = datasets_[last_dataset_].successor;
    if (guess != END && is_key(datasets_[guess], dataset)) {
      index = guess;
      return 0;
    }
  }
  std::uint64_t hash = hash_of(dataset);
  std::size_t slot = 0;
  if (reserve_dataset(dataset, hash, slot) != 0) return -1;
  if (slots_[slot] != 0) {
    index = static_cast<std::uint32_t>((slots_[slot] & LOW_HALF) - 1);
    return 0;
  }
  // New: everything is reserved, so the dataset can be entered now and nothing can fail after.
  index = static_cast<std::uint32_t>(datasets_.size());
  slots_[slot] = (hash & ~LOW_HALF) | (index + 1);
  datasets_.push_back(
      Dataset{END, END, static_cast<std::uint32_t>(keys_.size()),
              static_cast<std::uint32_t>(dataset.size()), END});
  keys_.append(dataset);
  return 0;
}

int SnapshotNames::reserve_text(std::size_t size) {
  if (size <= free_size_) return 0;
  std::size_t block_size = std::max(size, std::max(next_block_size_, BLOCK_FIRST_SIZE));
  try {
    blocks_.reserve(blocks_.size() + 1);
    blocks_.emplace_back(block_size);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  free_text_ = blocks_.back().data();
  free_size_ = block_size;
  next_block_size_ = std::min(block_size * 2, BLOCK_LARGEST_SIZE);
  return 0;
}

int SnapshotNames::add(std::string_view name) {
  if (size_ >= END || name.size() >= END) return -1;
  if (size_ == capacity()) {
    std::size_t segment = segments_.size();
    std::size_t slots = segment == 0 ? FIRST_SEGMENT : segment_start(segment);
    try {
      segments_.reserve(segment + 1);
      segments_.emplace_back(slots);
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  // The text first: once a new dataset is entered, nothing may fail.
  if (reserve_text(name.size() + 1) != 0) return -1;
  std::uint32_t index = 0;
  if (find_or_enter(name_dataset(name), index) != 0) return -1;

  char* text = free_text_;
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  free_text_ += name.size() + 1;
  free_size_ -= name.size() + 1;
  auto position = static_cast<std::uint32_t>(size_++);
  entry_at(position) = Entry{text, static_cast<std::uint32_t>(name.size()), END};
  Dataset& known = datasets_[index];
  if (known.first == END)
    known.first = position;
  else
    entry_at(known.last).next = position;
  known.last = position;
  if (last_dataset_ != END) datasets_[last_dataset_].successor = index;
  last_dataset_ = index;
  return 0;
}

void SnapshotNames::push_back(std::string_view name) {
  if (add(name) != 0) throw std::bad_alloc();
}

std::size_t SnapshotNames::first_of(std::string_view dataset) const {
  if (slots_.empty()) return npos;
  std::uint64_t held = slots_[find_slot(dataset, hash_of(dataset))];
  return held == 0 ? npos : datasets_[(held & LOW_HALF) - 1].first;
}

std::size_t SnapshotNames::next_of(std::size_t position) const {
  std::uint32_t next = entry_at(position).next;
  return next == END ? npos : next;
}

void SnapshotNames::clear() {
  SnapshotNames empty;
  swap(empty);
}

bool operator==(const SnapshotNames& names, const std::vector<std::string>& expected) {
  if (names.size() != expected.size()) return false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (names[i] != expected[i]) return false;
  }
  return true;
}

}  // namespace corvatel
