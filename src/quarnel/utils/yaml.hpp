#pragma once

// YAML 1.1 loading as a safe loader does it, for every YAML text quarnel reads (CITATION.cff,
// the configuration file): libyaml's event parser, then our own composer (anchors, aliases,
// bounded nesting) and resolver (implicit types, the standard tags, merge keys).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quarnel/error.hpp"

namespace quarnel::utils::yaml {

// A position in the text, counted from 0; the column counts characters, not bytes.
struct Mark {
  std::size_t line = 0;
  std::size_t column = 0;

  bool operator==(const Mark&) const = default;
};

// Text that a YAML 1.1 safe loader refuses. what() is "error at line L, column C: " followed by
// the problem, with L and C counted from 1; the problem alone when there is no position.
class YamlError : public Error {
 public:
  YamlError(std::optional<Mark> mark, std::string problem);

  const std::optional<Mark>& mark() const noexcept { return mark_; }
  const std::string& problem() const noexcept { return problem_; }

 private:
  std::optional<Mark> mark_;
  std::string problem_;
};

// Collections nested deeper than this are refused, so that no input makes the loader's work or
// memory grow faster than the text.
inline constexpr std::size_t MAX_DEPTH = 1000;
// Flow collections ("[...]", "{...}") nested deeper than this are refused: the scanner's work
// for every token grows with the flow collections open around it, and a real file nests a few.
inline constexpr std::size_t MAX_FLOW_DEPTH = 64;

// A document with more directives (%YAML, %TAG) than this is refused: the parser compares each
// with every one before it and looks every tag up among them, and a real document has a few.
inline constexpr std::size_t MAX_DIRECTIVES = 64;
// A %TAG directive whose prefix is longer than this, in bytes, is refused: the parser copies the
// prefix into every tag that names the directive's handle.
inline constexpr std::size_t MAX_TAG_PREFIX = 256;

enum class Kind { Scalar, Sequence, Mapping };

// What a safe loader builds from a node. Merge ("<<") and Value ("=") only occur as keys.
enum class Type {
  Null,
  Bool,
  Int,
  Float,
  Timestamp,
  Binary,
  Str,
  Merge,
  Value,
  Seq,
  Map,
  Set,
  Omap,
  Pairs
};

// A node's number in its stream.
using NodeId = std::uint32_t;

class StreamBuilder;

// The nodes of the documents of one text, each read by its number; an alias is a second
// reference to the same node. A text of a few megabytes can make millions of nodes, so each is
// kept in a few words and their texts and lists of children in storage they share: every view
// handed out lives as long as the stream.
class Stream {
 public:
  std::size_t size() const { return nodes_.size(); }
  Kind kind(NodeId id) const { return nodes_[id].kind; }
  Type type(NodeId id) const { return nodes_[id].type; }
  // "?" for a plain scalar or a collection without a tag, "!" for a quoted scalar without a tag
  // or the tag "!", else the tag in full ("tag:yaml.org,2002:int", "!local").
  std::string_view tag(NodeId id) const;
  // A scalar's text; empty for a collection.
  std::string_view value(NodeId id) const;
  // A collection's items, or its keys and values alternating; none for a scalar.
  std::span<const NodeId> children(NodeId id) const;
  // Where the node starts: its tag or anchor when it has any.
  Mark mark(NodeId id) const { return {nodes_[id].line, nodes_[id].column}; }

  std::vector<NodeId> documents;  // the root node of each document, in order
  // Mapping -> the values of its merge keys, in the order written: each a mapping, or a
  // non-empty list of mappings. A list is referred to, not copied, so that any number of
  // mappings may merge one long list at the cost of their text.
  std::unordered_map<NodeId, std::vector<NodeId>> merges;

  // How the stream keeps a node, for the loader; read nodes through the accessors above.
  struct Node {
    Kind kind = Kind::Scalar;
    Type type = Type::Str;
    bool resolved = false;         // whether `type` is known yet, while loading
    std::uint32_t tag_offset = 0;  // the tag's place in texts_
    std::uint32_t tag_length = 0;
    // A scalar's text in texts_, or a collection's children in children_.
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint32_t line = 0;
    std::uint32_t column = 0;
  };

 private:
  friend class StreamBuilder;

  // A deque: growing it never moves the nodes already read, so a long text costs no copying.
  std::deque<Node> nodes_;
  std::string texts_;
  std::vector<NodeId> children_;
};

struct LoadOptions {
  // Whether a second document is refused (at its start) or loaded too.
  bool single_document = true;
  // A collection as a mapping key is refused, as by a loader that builds hash maps from the
  // keys; a caller that reads the keys itself may allow it and report such a key in its terms.
  bool collection_keys = false;
};

// Loads `text` (UTF-8, a leading byte-order mark allowed) with the types of a YAML 1.1 safe
// loader: plain scalars resolve to null, bool, int, float, timestamp, merge or text by the YAML
// 1.1 patterns; quoted and "!"-tagged scalars are text; only the standard tags (str, null, bool,
// int, float, binary, timestamp, seq, map, set, omap, pairs) are built. Raises YamlError for
// malformed syntax, a character YAML does not allow, nesting deeper than MAX_DEPTH, flow
// collections nested deeper than MAX_FLOW_DEPTH, more than MAX_DIRECTIVES directives for one
// document, a %TAG prefix longer than MAX_TAG_PREFIX, an undefined alias, a tag that is not built,
// a value its type cannot hold (such as the date 2023-02-30), a merge key whose value is not a
// mapping or a list of mappings, a mapping that merges itself, and as `options` say, a second
// document and a collection used as a key.
Stream load(std::string_view text, const LoadOptions& options = {});

// What a check of required keys sees of one document.
struct SafeDocument {
  bool is_mapping = false;
  // The mapping's keys that are text, those brought in through merge keys included, own keys
  // first, in document order, each once; keys of other types are left out.
  std::vector<std::string> text_keys;

  bool operator==(const SafeDocument&) const = default;
};

// Loads `text` as exactly one document (see load). An empty stream is no mapping.
SafeDocument safe_load(std::string_view text);

}  // namespace quarnel::utils::yaml
