#pragma once

// The object type of utils::json::Json. The library's ordered map keeps its members in a vector
// and walks it on every insertion and lookup, so a manifest of n distinct keys took n * n / 2
// key comparisons to read: minutes for one that fills the read limit. This one keeps the same
// vector in the same order and, once an object holds more than a few members, a hash index of
// their positions beside it, so that a key is found without walking the other keys.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarnel::utils::json {

namespace detail {

// The hash of a key's bytes, whatever type the key is looked up by. The keys come from the
// documents read, so the hash is keyed with a secret drawn once per process: with a hash known
// in advance (std::hash is one), a document could hold keys chosen to share a slot, and each
// would walk all those before it.
std::size_t key_hash(std::string_view key) noexcept;

}  // namespace detail

// Members in the order they were added, a repeated key keeping its first place. The interface
// is the library's ordered map's, which basic_json calls, and like that map it derives from
// the vector: basic_json takes an object type with capacity() for one whose insertions may move
// its values, and looks members up through the members below. IgnoredLess is ignored, as there.
template <class Key, class T, class IgnoredLess = std::less<Key>,
          class Allocator = std::allocator<std::pair<const Key, T>>>
struct IndexedMap : std::vector<std::pair<const Key, T>, Allocator> {
  using key_type = Key;
  using mapped_type = T;
  using Container = std::vector<std::pair<const Key, T>, Allocator>;
  using iterator = typename Container::iterator;
  using const_iterator = typename Container::const_iterator;
  using size_type = typename Container::size_type;
  using value_type = typename Container::value_type;
  using key_compare = std::equal_to<>;

 private:
  // The key types basic_json looks members up by besides key_type, as for the library's map.
  template <class KeyType>
  static constexpr bool lookup_key =
      nlohmann::detail::is_usable_as_key_type<key_compare, key_type, KeyType>::value;
  template <class K>
  static constexpr bool hashable = std::is_convertible_v<const K&, std::string_view>;
  static_assert(hashable<Key>, "keys are hashed as the bytes of a string_view");

 public:
  // Up to this many members an object has no index: walking a few keys costs no more than
  // hashing one, and most objects of a document are that small.
  static constexpr size_type LINEAR_MEMBERS = 8;

  IndexedMap() noexcept(noexcept(Container())) : Container{} {}
  explicit IndexedMap(const Allocator& alloc) noexcept(noexcept(Container(alloc)))
      : Container{alloc} {}
  template <class It>
  IndexedMap(It first, It last, const Allocator& alloc = Allocator())
      : Container{first, last, alloc} {
    reserve_index(this->size());
  }
  IndexedMap(std::initializer_list<value_type> init, const Allocator& alloc = Allocator())
      : Container{init, alloc} {
    reserve_index(this->size());
  }
  // The positions in a copy are those of the original, so the index is copied as it is.
  IndexedMap(const IndexedMap& other) : Container(other), index_(other.copy_of_index()) {}
  IndexedMap(IndexedMap&& other) noexcept
      : Container(std::move(other)), index_(std::move(other.index_)) {}
  IndexedMap& operator=(const IndexedMap& other) {
    IndexedMap copy(other);
    swap(copy);
    return *this;
  }
  IndexedMap& operator=(IndexedMap&& other) noexcept {
    IndexedMap moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~IndexedMap() = default;

  void swap(IndexedMap& other) noexcept {
    Container::swap(other);
    index_.swap(other.index_);
  }
  friend void swap(IndexedMap& a, IndexedMap& b) noexcept { a.swap(b); }

  std::pair<iterator, bool> emplace(const key_type& key, T&& t) { return add(key, std::move(t)); }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  std::pair<iterator, bool> emplace(KeyType&& key, T&& t) {
    return add(std::forward<KeyType>(key), std::move(t));
  }

  T& operator[](const key_type& key) { return emplace(key, T{}).first->second; }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  T& operator[](KeyType&& key) {
    return emplace(std::forward<KeyType>(key), T{}).first->second;
  }
  const T& operator[](const key_type& key) const { return at(key); }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  const T& operator[](KeyType&& key) const {
    return at(key);
  }

  T& at(const key_type& key) { return checked(position_of(key))->second; }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  T& at(KeyType&& key) {
    return checked(position_of(key))->second;
  }
  const T& at(const key_type& key) const { return checked(position_of(key))->second; }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  const T& at(KeyType&& key) const {
    return checked(position_of(key))->second;
  }

  size_type erase(const key_type& key) { return erase_key(key); }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  size_type erase(KeyType&& key) {
    return erase_key(key);
  }
  iterator erase(iterator pos) { return erase(pos, std::next(pos)); }
  iterator erase(iterator first, iterator last) {
    if (first == last) return first;
    const auto removed = std::distance(first, last);
    const auto offset = std::distance(Container::begin(), first);
    // Keys are const, so the members after the gap cannot be assigned: each is rebuilt in the
    // place of the one it follows, as the library's map does.
    for (auto it = first; std::next(it, removed) != Container::end(); ++it) {
      it->~value_type();
      new (&*it) value_type{std::move(*std::next(it, removed))};
    }
    Container::resize(this->size() - static_cast<size_type>(removed));
    // Every member after the gap has moved; erasing is linear anyway.
    reindex();
    return Container::begin() + offset;
  }

  void clear() noexcept {
    Container::clear();
    index_.reset();
  }

  size_type count(const key_type& key) const { return position_of(key) == this->size() ? 0 : 1; }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  size_type count(KeyType&& key) const {
    return position_of(key) == this->size() ? 0 : 1;
  }

  iterator find(const key_type& key) { return at_position(position_of(key)); }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  iterator find(KeyType&& key) {
    return at_position(position_of(key));
  }
  const_iterator find(const key_type& key) const { return at_position(position_of(key)); }
  template <class KeyType, std::enable_if_t<lookup_key<KeyType>, int> = 0>
  const_iterator find(KeyType&& key) const {
    return at_position(position_of(key));
  }

  std::pair<iterator, bool> insert(value_type&& value) {
    return emplace(value.first, std::move(value.second));
  }
  std::pair<iterator, bool> insert(const value_type& value) { return add(value.first, value); }
  template <class InputIt,
            std::enable_if_t<
                std::is_convertible_v<typename std::iterator_traits<InputIt>::iterator_category,
                                      std::input_iterator_tag>,
                int> = 0>
  void insert(InputIt first, InputIt last) {
    for (auto it = first; it != last; ++it) insert(*it);
  }

 private:
  // The vector's own ways of adding and removing members would leave the index behind.
  using Container::assign;
  using Container::emplace_back;
  using Container::pop_back;
  using Container::push_back;
  using Container::resize;

  // Positions fit the index's slots, which keep 0 for empty.
  static constexpr size_type MAX_INDEXED = size_type{1} << 31;

  const Key& key_at(size_type position) const { return Container::operator[](position).first; }
  iterator at_position(size_type position) {
    return Container::begin() + static_cast<typename Container::difference_type>(position);
  }
  const_iterator at_position(size_type position) const {
    return Container::begin() + static_cast<typename Container::difference_type>(position);
  }
  iterator checked(size_type position) {
    if (position == this->size()) throw std::out_of_range("key not found");
    return at_position(position);
  }
  const_iterator checked(size_type position) const {
    if (position == this->size()) throw std::out_of_range("key not found");
    return at_position(position);
  }

  // The position of the first member whose key is `key`, size() when there is none.
  template <class K>
  size_type position_of(const K& key) const {
    if constexpr (hashable<K>) {
      if (index_) return indexed_position(key, detail::key_hash(key));
    }
    for (size_type i = 0; i < this->size(); ++i) {
      if (key_compare{}(key_at(i), key)) return i;
    }
    return this->size();
  }

  size_type indexed_position(std::string_view key, std::size_t hash) const {
    const std::size_t mask = index_[0];
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t entry = index_[1 + slot];
      if (entry == 0) return this->size();
      if (std::string_view(key_at(entry - 1)) == key) return entry - 1;
    }
  }

  // Appends a member made of `key` and `value` unless one has its key already.
  template <class K, class V>
  std::pair<iterator, bool> add(K&& key, V&& value) {
    std::size_t hash = 0;
    size_type position = this->size();
    if constexpr (hashable<K>) {
      if (index_) {
        hash = detail::key_hash(key);
        position = indexed_position(key, hash);
      } else {
        position = position_of(key);
      }
    } else {
      position = position_of(key);
    }
    if (position != this->size()) return {at_position(position), false};
    const bool hashed = index_ != nullptr;
    // Room is made first: should it fail, the member is not added and the index still holds.
    reserve_index(this->size() + 1);
    if constexpr (std::is_same_v<std::remove_cvref_t<V>, value_type>) {
      Container::push_back(std::forward<V>(value));
    } else {
      Container::emplace_back(std::forward<K>(key), std::forward<V>(value));
    }
    if (index_) {
      const size_type added = this->size() - 1;
      place(added, hashed && hashable<K> ? hash : detail::key_hash(key_at(added)));
    }
    return {std::prev(Container::end()), true};
  }

  // Puts `position` in the first empty slot from its key's.
  void place(size_type position, std::size_t hash) noexcept {
    const std::size_t mask = index_[0];
    std::size_t slot = hash & mask;
    while (index_[1 + slot] != 0) slot = (slot + 1) & mask;
    index_[1 + slot] = static_cast<std::uint32_t>(position + 1);
  }

  // Makes sure the index can take `members` members at a load of at most one half, building it
  // anew (with the members there are) when it cannot: doubling it keeps insertion amortised
  // constant.
  void reserve_index(size_type members) {
    if (members <= LINEAR_MEMBERS) return;
    if (index_ && std::size_t{index_[0]} + 1 >= 2 * members) return;
    if (members > MAX_INDEXED) throw std::length_error("JSON object too large to index");
    const std::size_t slots = std::bit_ceil(2 * members);
    std::unique_ptr<std::uint32_t[]> index(new std::uint32_t[1 + slots]());
    index[0] = static_cast<std::uint32_t>(slots - 1);
    index_ = std::move(index);
    for (size_type i = 0; i < this->size(); ++i) place(i, detail::key_hash(key_at(i)));
  }

  // Places every member again in the slots there are, after members moved: fewer members than
  // before need no more room. Without an index the object is walked, whatever its size, until
  // an insertion builds one.
  void reindex() noexcept {
    if (this->size() <= LINEAR_MEMBERS || !index_) {
      index_.reset();
      return;
    }
    std::fill_n(index_.get() + 1, std::size_t{index_[0]} + 1, 0);
    for (size_type i = 0; i < this->size(); ++i) place(i, detail::key_hash(key_at(i)));
  }

  template <class K>
  size_type erase_key(const K& key) {
    const size_type position = position_of(key);
    if (position == this->size()) return 0;
    erase(at_position(position));
    return 1;
  }

  std::unique_ptr<std::uint32_t[]> copy_of_index() const {
    if (!index_) return nullptr;
    const std::size_t length = 2 + std::size_t{index_[0]};
    std::unique_ptr<std::uint32_t[]> copy(new std::uint32_t[length]);
    std::copy_n(index_.get(), length, copy.get());
    return copy;
  }

  // Null while the object has at most LINEAR_MEMBERS members. Otherwise its first element is
  // the number of slots less one (a power of two less one), and each slot after it holds 0 or
  // the position of a member plus one, found by linear probing from its key's hash. One
  // pointer, so that a document of many small objects grows by no more than that per object.
  std::unique_ptr<std::uint32_t[]> index_;
};

}  // namespace quarnel::utils::json
