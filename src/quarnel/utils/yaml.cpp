#include "quarnel/utils/yaml.hpp"

#include <yaml.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quarnel/utils/regex.hpp"
#include "quarnel/utils/text.hpp"

namespace quarnel::utils::yaml {

namespace {

using regex::Regex;

constexpr std::string_view STANDARD_TAG_PREFIX = "tag:yaml.org,2002:";

std::string line_and_column(const Mark& mark) {
  return "line " + std::to_string(mark.line + 1) + ", column " + std::to_string(mark.column + 1);
}

std::string with_position(const std::optional<Mark>& mark, std::string_view problem) {
  if (!mark) return std::string(problem);
  return "error at " + line_and_column(*mark) + ": " + std::string(problem);
}

}  // namespace

YamlError::YamlError(std::optional<Mark> mark, std::string problem)
    : Error(with_position(mark, problem)), mark_(mark), problem_(std::move(problem)) {}

namespace {

// Long scalars are cut in messages: the position already says where the value is.
std::string shown_value(std::string_view value) {
  constexpr std::size_t MAX_SHOWN = 50;
  const std::string_view shown = text::first_characters(value, MAX_SHOWN);
  if (shown.size() == value.size()) return text::repr(value);
  return text::repr(shown) + "...";
}

Mark mark_of(const yaml_mark_t& mark) { return {mark.line, mark.column}; }

constexpr std::string_view BOM = "\xEF\xBB\xBF";

// The bytes of the line break that `rest` starts with, 0 when it starts with none: the parser
// ends a line at CR LF, CR, LF, NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR.
std::size_t break_width(std::string_view rest) {
  if (rest.starts_with("\r\n")) return 2;
  if (rest.starts_with('\r') || rest.starts_with('\n')) return 1;
  if (rest.starts_with("\xC2\x85")) return 2;
  if (rest.starts_with("\xE2\x80\xA8") || rest.starts_with("\xE2\x80\xA9")) return 3;
  return 0;
}

// Where the byte at `offset` sits, counted the way the parser counts: a leading byte-order mark
// takes no column; each line break (see break_width) ends a line.
Mark mark_at(std::string_view yaml_text, std::size_t offset) {
  Mark mark;
  std::size_t i = yaml_text.starts_with(BOM) ? BOM.size() : 0;
  offset = std::min(offset, yaml_text.size());
  while (i < offset) {
    const std::size_t width = break_width(yaml_text.substr(i));
    if (width != 0) {
      ++mark.line;
      mark.column = 0;
      i += width;
      continue;
    }
    // One character: its first byte and the continuation bytes after it.
    ++mark.column;
    ++i;
    while (i < offset && (static_cast<unsigned char>(yaml_text[i]) & 0xC0) == 0x80) ++i;
  }
  return mark;
}

[[noreturn]] void throw_parser_error(const yaml_parser_t& parser, std::string_view yaml_text) {
  if (parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
  const std::string problem = parser.problem != nullptr ? parser.problem : "unknown error";
  if (parser.error == YAML_READER_ERROR) {
    // The reader knows only the byte offset, and the offending value: a byte that does not
    // decode, or a character that YAML does not allow.
    const bool byte = problem.find("octet") != std::string::npos;
    char code[32];
    std::snprintf(code, sizeof code, byte ? "#x%02x" : "#x%04x",
                  static_cast<unsigned>(parser.problem_value));
    throw YamlError(mark_at(yaml_text, parser.problem_offset),
                    std::string(byte ? "unacceptable byte " : "unacceptable character ") + code +
                        ": " + problem);
  }
  const Mark problem_mark = mark_of(parser.problem_mark);
  if (parser.context == nullptr) throw YamlError(problem_mark, problem);
  // The context ("while scanning a quoted scalar") says where the construct began, which is
  // where to look; the problem's own position follows when it is elsewhere.
  const Mark context_mark = mark_of(parser.context_mark);
  std::string message = std::string(parser.context) + ", " + problem;
  if (problem_mark != context_mark) message += " at " + line_and_column(problem_mark);
  throw YamlError(context_mark, message);
}

std::string_view view(const yaml_char_t* chars) {
  return chars == nullptr ? std::string_view() : reinterpret_cast<const char*>(chars);
}

// libyaml's parser, freed on every way out.
class LibyamlParser {
 public:
  LibyamlParser() {
    if (yaml_parser_initialize(&parser_) == 0) throw std::bad_alloc();
  }
  ~LibyamlParser() { yaml_parser_delete(&parser_); }
  LibyamlParser(const LibyamlParser&) = delete;
  LibyamlParser& operator=(const LibyamlParser&) = delete;

  yaml_parser_t& get() { return parser_; }
  const yaml_parser_t& get() const { return parser_; }

 private:
  yaml_parser_t parser_;
};

// Whether the byte at `i` starts a line, as the parser ends lines (see mark_at).
bool starts_line(std::string_view yaml_text, std::size_t i) {
  const std::string_view before = yaml_text.substr(0, i);
  return before.empty() || before == BOM || before.ends_with('\n') || before.ends_with('\r') ||
         before.ends_with("\xC2\x85") || before.ends_with("\xE2\x80\xA8") ||
         before.ends_with("\xE2\x80\xA9");
}

// The line that starts at a byte: where its text ends, at its line break or the end of the
// text, and where the next line starts.
struct Line {
  std::size_t end;
  std::size_t next;
};

Line line_at(std::string_view yaml_text, std::size_t start) {
  for (std::size_t i = start; i < yaml_text.size(); ++i) {
    if (const std::size_t width = break_width(yaml_text.substr(i)); width != 0) {
      return {i, i + width};
    }
  }
  return {yaml_text.size(), yaml_text.size()};
}

// Whether a line, or the rest of one, holds nothing but blanks and perhaps a comment.
bool blank_or_comment(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || line[first] == '#';
}

// The byte offset of the character at `index` as the parser counts them: after a leading
// byte-order mark, one for each character, CR and LF of a line end each one.
std::size_t byte_offset(std::string_view yaml_text, std::size_t index) {
  std::size_t i = yaml_text.starts_with(BOM) ? BOM.size() : 0;
  for (; index > 0 && i < yaml_text.size(); --index) {
    ++i;
    while (i < yaml_text.size() && (static_cast<unsigned char>(yaml_text[i]) & 0xC0) == 0x80) ++i;
  }
  return i;
}

std::string too_many_directives() {
  return "found more than " + std::to_string(MAX_DIRECTIVES) + " directives for one document";
}

std::string too_long_a_tag_prefix() {
  return "found a %TAG directive with a prefix of more than " + std::to_string(MAX_TAG_PREFIX) +
         " bytes";
}

// A directive that a document may not have: where its line starts, and why.
struct RefusedDirective {
  std::size_t offset;
  std::string problem;
};

// The lines of the text a run of directives may take: from `from` (where the event before the
// run ended) up to `to`, each line that starts there or before it, or with `whole_lines` each
// that ends there or before it, its line break included.
struct RunLines {
  std::size_t from;
  std::size_t to;
  bool whole_lines;
};

// The first directive of one document's run that is past MAX_DIRECTIVES, or a %TAG whose prefix
// is longer than MAX_TAG_PREFIX, if any, among the run's lines; `prefixes` are the lengths of
// the run's %TAG prefixes, in order, as far as the parser has read them. Between two directives
// the parser meets only blank lines, comments and, before the first, document ends ("..."), so
// each line there that starts with "%" is one directive; any other line ends the run, and keeps
// the lines of a token that spans several (a quoted scalar) from being read as directives.
std::optional<RefusedDirective> first_refused_directive(std::string_view yaml_text,
                                                        const RunLines& lines,
                                                        std::span<const std::size_t> prefixes) {
  std::size_t i = lines.from;
  if (!starts_line(yaml_text, i)) {
    // The rest of the line that the event before the run ended on.
    const Line line = line_at(yaml_text, i);
    if (!blank_or_comment(yaml_text.substr(i, line.end - i))) return std::nullopt;
    i = line.next;
  }
  std::size_t directives = 0;
  std::size_t tags = 0;
  while (i < yaml_text.size() && i <= lines.to) {
    const Line line = line_at(yaml_text, i);
    const bool whole = line.end < yaml_text.size() && line.next <= lines.to;
    if (lines.whole_lines && !whole) break;
    std::string_view text = yaml_text.substr(i, line.end - i);
    if (text.starts_with('%')) {
      const std::string_view name = text.substr(1, text.find_first_of(" \t", 1) - 1);
      const bool tag = name == "TAG";
      if (!tag && name != "YAML") break;
      if (++directives > MAX_DIRECTIVES) return RefusedDirective{i, too_many_directives()};
      if (tag && ++tags <= prefixes.size() && prefixes[tags - 1] > MAX_TAG_PREFIX) {
        return RefusedDirective{i, too_long_a_tag_prefix()};
      }
    } else {
      // A byte-order mark that starts a line is skipped, but what follows it is no document end.
      const bool document_end = text.starts_with("...") &&
                                (text.size() == 3 || text[3] == ' ' || text[3] == '\t') &&
                                blank_or_comment(text.substr(3));
      if (text.starts_with(BOM)) text.remove_prefix(BOM.size());
      if (!document_end && !blank_or_comment(text)) break;
    }
    i = line.next;
  }
  return std::nullopt;
}

// libyaml's events for one text, read in one pass. The parser reads all of a document's
// directives before it gives the document's start, comparing each %TAG with every one before
// it, so the input stops once it has read more than a document may have; the refusal is then
// told from the directives it read: at the document's start, or at the error that stops it
// before.
class Parser {
 public:
  explicit Parser(std::string_view yaml_text) : text_(yaml_text) {
    yaml_parser_set_input(&parser_.get(), &Parser::read, this);
  }

  // The next event, owned by `event`, which must be empty.
  void next(yaml_event_t& event) {
    const yaml_parser_t& parser = parser_.get();
    if (yaml_parser_parse(&parser_.get(), &event) == 0) {
      if ((between_documents_ || cut_) && parser.error != YAML_MEMORY_ERROR) {
        refuse_before_error();
      }
      throw_parser_error(parser, text_);
    }
    switch (event.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_END_EVENT:
        between_documents_ = true;
        run_start_ = event.end_mark;
        break;
      case YAML_DOCUMENT_START_EVENT:
        between_documents_ = false;
        refuse_at_start(event);
        break;
      default:
        break;
    }
  }

  // Whether the event just given opens a flow collection with a bracket or a brace. The single
  // pair of a flow sequence ("[a: b]") is a flow mapping without a brace of its own: after its
  // start the parser waits for the pair's key, after a brace for the mapping's first.
  bool opened_flow_level(const yaml_event_t& event) const {
    switch (event.type) {
      case YAML_SEQUENCE_START_EVENT:
        return event.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE;
      case YAML_MAPPING_START_EVENT:
        return parser_.get().state == YAML_PARSE_FLOW_MAPPING_FIRST_KEY_STATE;
      default:
        return false;
    }
  }

 private:
  // Hands the parser the text in the chunks its own reader of a string would, so that it meets
  // the same faults at the same places; but nothing more once the %TAG directives it has read
  // for one document (on its stack, the two defaults after them once all are read) are more
  // than a document may have.
  static int read(void* data, unsigned char* buffer, std::size_t size, std::size_t* size_read) {
    Parser& self = *static_cast<Parser*>(data);
    const auto& tags = self.parser_.get().tag_directives;
    if (static_cast<std::size_t>(tags.top - tags.start) > MAX_DIRECTIVES + 2) {
      self.cut_ = true;
      *size_read = 0;
      return 1;
    }
    const std::size_t length = std::min(size, self.text_.size() - self.read_);
    std::copy_n(self.text_.data() + self.read_, length, buffer);
    self.read_ += length;
    *size_read = length;
    return 1;
  }

  // A document with too many directives, or a prefix too long, is refused at its start, before
  // any of its tags is resolved: the parser copies a prefix into every tag that names its handle.
  void refuse_at_start(const yaml_event_t& event) const {
    const auto& start = event.data.document_start;
    std::vector<std::size_t> prefixes;
    bool long_prefix = false;
    for (const auto* tag = start.tag_directives.start; tag != start.tag_directives.end; ++tag) {
      prefixes.push_back(view(tag->prefix).size());
      long_prefix = long_prefix || prefixes.back() > MAX_TAG_PREFIX;
    }
    const bool too_many = prefixes.size() + (start.version_directive != nullptr) > MAX_DIRECTIVES;
    if (!too_many && !long_prefix) return;
    throw_if_refused(event.end_mark.index, false, prefixes);
    // Only a text the parser reads as UTF-16 comes here: its lines are not walked, so it is
    // refused where its directives start.
    throw YamlError(mark_of(event.start_mark),
                    too_many ? too_many_directives() : too_long_a_tag_prefix());
  }

  // The parser stopped between documents, among the next one's directives if it has any: a
  // refused one among those it read is the refusal, as is the end of the input that stopped it.
  // A directive the scanner failed on was never read; one the parser refused (a second %TAG for
  // a handle) was.
  void refuse_before_error() const {
    const yaml_parser_t& parser = parser_.get();
    const bool read_to_the_error = parser.error == YAML_PARSER_ERROR;
    // The reader checks a whole chunk before the scanner reads on into it, so a fault there
    // stops the parser where the scanner was: the directive it had not read to its end, and
    // those after, were never read.
    const std::size_t to =
        parser.error == YAML_READER_ERROR ? parser.mark.index : parser.problem_mark.index;
    std::vector<std::size_t> prefixes;
    for (const auto* tag = parser.tag_directives.start; tag != parser.tag_directives.top; ++tag) {
      prefixes.push_back(view(tag->prefix).size());
    }
    const auto& tokens = parser.tokens;
    if (read_to_the_error && tokens.head != tokens.tail &&
        tokens.head->type == YAML_TAG_DIRECTIVE_TOKEN) {
      prefixes.push_back(view(tokens.head->data.tag_directive.prefix).size());
    }
    throw_if_refused(to, !read_to_the_error, prefixes);
    // The error is one the end of the input made, in a text read as UTF-16 (see refuse_at_start).
    if (cut_) throw YamlError(mark_of(run_start_), too_many_directives());
  }

  void throw_if_refused(std::size_t to_index, bool whole_lines,
                        std::span<const std::size_t> prefixes) const {
    if (parser_.get().encoding != YAML_UTF8_ENCODING) return;
    const RunLines lines{byte_offset(text_, run_start_.index), byte_offset(text_, to_index),
                         whole_lines};
    if (const auto refused = first_refused_directive(text_, lines, prefixes)) {
      throw YamlError(mark_at(text_, refused->offset), refused->problem);
    }
  }

  std::string_view text_;
  std::size_t read_ = 0;  // how much of the text the parser has been given
  bool cut_ = false;      // whether its input stopped before the end of the text
  // Whether the parser is between documents, where the next document's directives are, and
  // where the event before them ended.
  bool between_documents_ = true;
  yaml_mark_t run_start_{};
  LibyamlParser parser_;
};

class Event {
 public:
  Event() = default;
  ~Event() { yaml_event_delete(&event_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  yaml_event_t& get() { return event_; }

 private:
  yaml_event_t event_{};
};

std::string_view kind_name(Kind kind) {
  switch (kind) {
    case Kind::Scalar:
      return "scalar";
    case Kind::Sequence:
      return "sequence";
    case Kind::Mapping:
      return "mapping";
  }
  return "node";
}

struct StandardTag {
  std::string_view name;
  Type type;
};

constexpr std::array<StandardTag, 14> STANDARD_TAGS = {{{"null", Type::Null},
                                                        {"bool", Type::Bool},
                                                        {"int", Type::Int},
                                                        {"float", Type::Float},
                                                        {"timestamp", Type::Timestamp},
                                                        {"binary", Type::Binary},
                                                        {"str", Type::Str},
                                                        {"merge", Type::Merge},
                                                        {"value", Type::Value},
                                                        {"seq", Type::Seq},
                                                        {"map", Type::Map},
                                                        {"set", Type::Set},
                                                        {"omap", Type::Omap},
                                                        {"pairs", Type::Pairs}}};

// A count or offset as a node keeps it, in 32 bits: only a text of gigabytes, far past any
// read limit, has more.
std::uint32_t narrow(std::size_t value) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    throw YamlError(std::nullopt, "found a text too large to load");
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

// What the loader writes into a stream, which the stream keeps to itself.
class StreamBuilder {
 public:
  static std::deque<Stream::Node>& nodes(Stream& stream) { return stream.nodes_; }
  static std::string& texts(Stream& stream) { return stream.texts_; }
  static std::vector<NodeId>& children(Stream& stream) { return stream.children_; }
};

std::string_view Stream::tag(NodeId id) const {
  const Node& node = nodes_[id];
  return std::string_view(texts_).substr(node.tag_offset, node.tag_length);
}

std::string_view Stream::value(NodeId id) const {
  const Node& node = nodes_[id];
  if (node.kind != Kind::Scalar) return {};
  return std::string_view(texts_).substr(node.first, node.count);
}

std::span<const NodeId> Stream::children(NodeId id) const {
  const Node& node = nodes_[id];
  if (node.kind == Kind::Scalar) return {};
  return std::span<const NodeId>(children_).subspan(node.first, node.count);
}

namespace {

// Builds the nodes of each document from the parser's events. Aliases are not copied: they
// point at the anchored node, so expansion costs nothing here and a self-reference is fine.
// A node's texts go to the stream's shared storage: the tags most nodes have ("?", "!" and the
// standard ones) are kept there once, and a tag like the one before it is not kept again.
class Composer {
 public:
  Composer(Stream& stream, bool single_document)
      : stream_(stream),
        nodes_(StreamBuilder::nodes(stream)),
        texts_(StreamBuilder::texts(stream)),
        children_(StreamBuilder::children(stream)),
        single_document_(single_document) {
    texts_ = "?!";
    for (std::size_t i = 0; i < STANDARD_TAGS.size(); ++i) {
      standard_tags_[i] =
          store(std::string(STANDARD_TAG_PREFIX) + std::string(STANDARD_TAGS[i].name));
    }
  }

  // False once the stream has ended. `opens_flow_level`: whether the event opens a flow
  // collection with a bracket or brace of its own.
  bool take(const yaml_event_t& event, bool opens_flow_level) {
    const Mark mark = mark_of(event.start_mark);
    switch (event.type) {
      case YAML_STREAM_END_EVENT:
        return false;
      case YAML_DOCUMENT_START_EVENT:
        if (single_document_ && !stream_.documents.empty()) {
          throw YamlError(mark,
                          "expected a single document in the stream, but found another document");
        }
        break;
      case YAML_DOCUMENT_END_EVENT:
        anchors_.clear();
        break;
      case YAML_ALIAS_EVENT: {
        const std::string_view anchor = view(event.data.alias.anchor);
        const auto it = anchors_.find(std::string(anchor));
        if (it == anchors_.end()) {
          throw YamlError(mark, "found undefined alias " + shown_value(anchor));
        }
        attach(it->second);
        break;
      }
      case YAML_SCALAR_EVENT: {
        const auto& scalar = event.data.scalar;
        // Without a tag only a plain scalar has its type read from its text; a quoted one is text.
        std::string_view tag = view(scalar.tag);
        if (tag.empty()) tag = scalar.plain_implicit != 0 ? "?" : "!";
        add(Kind::Scalar, tag,
            std::string_view(reinterpret_cast<const char*>(scalar.value), scalar.length), mark,
            view(scalar.anchor));
        break;
      }
      case YAML_SEQUENCE_START_EVENT:
        open(Kind::Sequence, view(event.data.sequence_start.tag), mark,
             view(event.data.sequence_start.anchor), opens_flow_level);
        break;
      case YAML_MAPPING_START_EVENT:
        open(Kind::Mapping, view(event.data.mapping_start.tag), mark,
             view(event.data.mapping_start.anchor), opens_flow_level);
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        close();
        break;
      default:
        break;
    }
    return true;
  }

 private:
  struct Span {
    std::uint32_t offset;
    std::uint32_t length;
  };

  Span store(std::string_view text) {
    const Span span{narrow(texts_.size()), narrow(text.size())};
    narrow(texts_.size() + text.size());
    texts_.append(text);
    return span;
  }

  Span store_tag(std::string_view tag) {
    if (tag == "?") return {0, 1};
    if (tag == "!") return {1, 1};
    if (tag.starts_with(STANDARD_TAG_PREFIX)) {
      const std::string_view name = tag.substr(STANDARD_TAG_PREFIX.size());
      for (std::size_t i = 0; i < STANDARD_TAGS.size(); ++i) {
        if (STANDARD_TAGS[i].name == name) return standard_tags_[i];
      }
    }
    if (last_tag_ && tag == std::string_view(texts_).substr(last_tag_->offset, last_tag_->length)) {
      return *last_tag_;
    }
    last_tag_ = store(tag);
    return *last_tag_;
  }

  void open(Kind kind, std::string_view tag, const Mark& mark, std::string_view anchor,
            bool flow_level) {
    if (open_.size() >= MAX_DEPTH) {
      throw YamlError(mark, "found a " + std::string(kind_name(kind)) + " nested deeper than " +
                                std::to_string(MAX_DEPTH) + " levels");
    }
    // The scanner reads ahead of the parser only while a simple key may still be open, at most
    // 1024 characters along a line, so when this start comes it has walked at most that many
    // more levels for each token.
    if (flow_level && flow_levels_ >= MAX_FLOW_DEPTH) {
      throw YamlError(mark, "found a flow " + std::string(kind_name(kind)) +
                                " nested deeper than " + std::to_string(MAX_FLOW_DEPTH) +
                                " flow levels");
    }
    const NodeId id = add(kind, tag.empty() ? "?" : tag, {}, mark, anchor);
    open_.push_back({id, pending_children_.size(), flow_level});
    flow_levels_ += flow_level ? 1 : 0;
  }

  // A collection's children arrive between its start and end, interleaved with those of the
  // collections inside it; they wait at the end of one list and move to the stream together.
  void close() {
    const auto [id, start, flow_level] = open_.back();
    open_.pop_back();
    flow_levels_ -= flow_level ? 1 : 0;
    auto& node = nodes_[id];
    node.first = narrow(children_.size());
    node.count = narrow(pending_children_.size() - start);
    narrow(children_.size() + node.count);
    children_.insert(children_.end(),
                     pending_children_.begin() + static_cast<std::ptrdiff_t>(start),
                     pending_children_.end());
    pending_children_.resize(start);
  }

  NodeId add(Kind kind, std::string_view tag, std::string_view value, const Mark& mark,
             std::string_view anchor) {
    const NodeId id = narrow(nodes_.size());
    const Span tag_span = store_tag(tag);
    const Span value_span = kind == Kind::Scalar ? store(value) : Span{0, 0};
    auto& node = nodes_.emplace_back();
    node.kind = kind;
    node.tag_offset = tag_span.offset;
    node.tag_length = tag_span.length;
    node.first = value_span.offset;
    node.count = value_span.length;
    node.line = narrow(mark.line);
    node.column = narrow(mark.column);
    // Registered before the children arrive, so a collection may refer to itself. A second
    // anchor of the same name is refused like a parser error with two positions: the first
    // definition is where the error is, the second follows.
    if (!anchor.empty()) {
      const auto [first, added] = anchors_.try_emplace(std::string(anchor), id);
      if (!added) {
        throw YamlError(stream_.mark(first->second),
                        "found duplicate anchor " + shown_value(anchor) +
                            "; first occurrence, second occurrence at " + line_and_column(mark));
      }
    }
    attach(id);
    return id;
  }

  void attach(NodeId id) {
    if (open_.empty()) {
      stream_.documents.push_back(id);
    } else {
      pending_children_.push_back(id);
    }
  }

  Stream& stream_;
  std::deque<Stream::Node>& nodes_;
  std::string& texts_;
  std::vector<NodeId>& children_;
  bool single_document_;
  std::array<Span, STANDARD_TAGS.size()> standard_tags_{};
  std::optional<Span> last_tag_;
  // Each open collection, where its children start in pending_children_, and whether it opened
  // a flow level.
  struct Open {
    NodeId id;
    std::size_t start;
    bool flow_level;
  };
  std::vector<Open> open_;
  std::size_t flow_levels_ = 0;
  std::vector<NodeId> pending_children_;
  std::unordered_map<std::string, NodeId> anchors_;
};

bool is_collection(Type type) {
  return type == Type::Seq || type == Type::Map || type == Type::Set || type == Type::Omap ||
         type == Type::Pairs;
}

// The type a plain scalar takes without a tag, by the YAML 1.1 patterns, tried in the order a
// YAML 1.1 resolver tries them.
Type implicit_type(std::string_view value) {
  static const Regex bool_re(
      "^(?:yes|Yes|YES|no|No|NO|true|True|TRUE|false|False|FALSE|on|On|ON|off|Off|OFF)$");
  static const Regex float_re(
      "^(?:[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?|\\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?"
      "|[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*|[-+]?\\.(?:inf|Inf|INF)"
      "|\\.(?:nan|NaN|NAN))$");
  static const Regex int_re(
      "^(?:[-+]?0b[0-1_]+|[-+]?0[0-7_]+|[-+]?(?:0|[1-9][0-9_]*)|[-+]?0x[0-9a-fA-F_]+"
      "|[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$");
  static const Regex null_re("^(?:~|null|Null|NULL|)$");
  static const Regex timestamp_re(
      "^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]"
      "|[0-9][0-9][0-9][0-9]-[0-9][0-9]?-[0-9][0-9]?(?:[Tt]|[ \\t]+)[0-9][0-9]?:[0-9][0-9]"
      ":[0-9][0-9](?:\\.[0-9]*)?(?:[ \\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$");
  if (bool_re.match(value)) return Type::Bool;
  if (float_re.match(value)) return Type::Float;
  if (int_re.match(value)) return Type::Int;
  if (value == "<<") return Type::Merge;
  if (null_re.match(value)) return Type::Null;
  if (timestamp_re.match(value)) return Type::Timestamp;
  if (value == "=") return Type::Value;
  return Type::Str;
}

// The shape of node each type is built from, and how a loader says it wanted that shape.
Kind kind_built_from(Type type) {
  switch (type) {
    case Type::Seq:
    case Type::Omap:
    case Type::Pairs:
      return Kind::Sequence;
    case Type::Map:
    case Type::Set:
      return Kind::Mapping;
    default:
      return Kind::Scalar;
  }
}

std::string_view expected_text(Type type) {
  switch (type) {
    case Type::Seq:
      return "expected a sequence node";
    case Type::Omap:
    case Type::Pairs:
      return "expected a sequence";
    case Type::Map:
    case Type::Set:
      return "expected a mapping node";
    default:
      return "expected a scalar node";
  }
}

[[noreturn]] void no_constructor(const Stream& stream, NodeId id, std::string_view tag) {
  throw YamlError(stream.mark(id),
                  "could not determine a constructor for the tag " + text::repr_cut(tag));
}

Type resolve(const Stream& stream, NodeId id) {
  const Kind kind = stream.kind(id);
  const std::string_view tag = stream.tag(id);
  if (tag == "?") {
    if (kind == Kind::Scalar) return implicit_type(stream.value(id));
    return kind == Kind::Sequence ? Type::Seq : Type::Map;
  }
  if (tag == "!") {
    if (kind == Kind::Scalar) return Type::Str;
    return kind == Kind::Sequence ? Type::Seq : Type::Map;
  }
  if (!tag.starts_with(STANDARD_TAG_PREFIX)) no_constructor(stream, id, tag);
  const std::string_view name = tag.substr(STANDARD_TAG_PREFIX.size());
  const auto it = std::find_if(STANDARD_TAGS.begin(), STANDARD_TAGS.end(),
                               [&](const StandardTag& entry) { return entry.name == name; });
  if (it == STANDARD_TAGS.end()) no_constructor(stream, id, tag);
  if (kind_built_from(it->type) != kind) {
    throw YamlError(stream.mark(id), std::string(expected_text(it->type)) + ", but found " +
                                         std::string(kind_name(kind)));
  }
  return it->type;
}

bool all_of_chars(std::string_view digits, std::string_view allowed) {
  return !digits.empty() && digits.find_first_not_of(allowed) == std::string_view::npos;
}

std::string without_underscores(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c != '_') out.push_back(c);
  }
  return out;
}

std::string_view without_sign(std::string_view value) {
  if (!value.empty() && (value.front() == '-' || value.front() == '+')) value.remove_prefix(1);
  return value;
}

constexpr std::string_view DIGITS = "0123456789";

// Whether each piece of `value` between its colons passes `piece_ok`, the empty ones before,
// between and after colons included. Walked in place: a scalar may be megabytes of colons.
template <typename PieceOk>
bool all_pieces(std::string_view value, PieceOk piece_ok) {
  std::size_t begin = 0;
  for (;;) {
    const std::size_t colon = value.find(':', begin);
    if (colon == std::string_view::npos) return piece_ok(value.substr(begin));
    if (!piece_ok(value.substr(begin, colon - begin))) return false;
    begin = colon + 1;
  }
}

bool valid_int(std::string_view raw) {
  const std::string cleaned = without_underscores(raw);
  const std::string_view value = without_sign(cleaned);
  if (value == "0") return true;
  if (value.starts_with("0b")) return all_of_chars(value.substr(2), "01");
  if (value.starts_with("0x")) return all_of_chars(value.substr(2), "0123456789abcdefABCDEF");
  if (value.starts_with('0')) return all_of_chars(value, "01234567");
  return all_pieces(value, [](std::string_view piece) { return all_of_chars(piece, DIGITS); });
}

bool valid_float(std::string_view raw) {
  static const Regex number_re(
      "^(?:(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)(?:[eE][-+]?[0-9]+)?|inf|infinity|nan|\\.inf|\\.nan)$",
      utils::regex::IGNORECASE);
  const std::string cleaned = without_underscores(raw);
  const std::string_view value = without_sign(cleaned);
  // Digits alone are a number; only other pieces need the pattern.
  return all_pieces(value, [](std::string_view piece) {
    return all_of_chars(piece, DIGITS) || number_re.match(piece).has_value();
  });
}

bool valid_bool(std::string_view value) {
  static constexpr std::array<std::string_view, 6> WORDS = {"yes",   "no", "true",
                                                            "false", "on", "off"};
  std::string lowered(value);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return std::find(WORDS.begin(), WORDS.end(), lowered) != WORDS.end();
}

bool valid_binary(std::string_view value) {
  std::size_t data = 0;
  std::size_t padding = 0;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return false;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
        c == '/') {
      ++data;
    } else if (c == '=') {
      ++padding;
    }
  }
  const std::size_t rest = data % 4;
  return rest == 0 || (rest != 1 && padding >= 4 - rest);
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int number(const utils::regex::Match& match, std::size_t group) {
  const auto digits = match.group(group);
  return digits ? std::stoi(*digits) : 0;
}

// A real calendar date and clock time, and a zone offset of less than a day.
bool valid_timestamp(std::string_view value) {
  static const Regex parts_re(
      "^([0-9][0-9][0-9][0-9])-([0-9][0-9]?)-([0-9][0-9]?)"
      "(?:(?:[Tt]|[ \\t]+)([0-9][0-9]?):([0-9][0-9]):([0-9][0-9])(?:\\.([0-9]*))?"
      "(?:[ \\t]*(Z|([-+])([0-9][0-9]?)(?::([0-9][0-9]))?))?)?$");
  const auto match = parts_re.match(value);
  if (!match) return false;
  const int year = number(*match, 1);
  const int month = number(*match, 2);
  const int day = number(*match, 3);
  static constexpr std::array<int, 12> DAYS = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const int month_days = DAYS[static_cast<std::size_t>(month - 1)] + (month == 2 && is_leap(year));
  if (day > month_days) return false;
  if (!match->matched(4)) return true;
  if (number(*match, 4) > 23 || number(*match, 5) > 59 || number(*match, 6) > 59) return false;
  if (!match->matched(9)) return true;
  return number(*match, 10) * 60 + number(*match, 11) < 24 * 60;
}

std::string_view type_word(Type type) {
  switch (type) {
    case Type::Bool:
      return "bool";
    case Type::Int:
      return "int";
    case Type::Float:
      return "float";
    case Type::Timestamp:
      return "timestamp";
    case Type::Binary:
      return "binary";
    default:
      return "value";
  }
}

void check_scalar(const Stream& stream, NodeId id, Type type) {
  const std::string_view value = stream.value(id);
  bool valid = true;
  switch (type) {
    case Type::Bool:
      valid = valid_bool(value);
      break;
    case Type::Int:
      valid = valid_int(value);
      break;
    case Type::Float:
      valid = valid_float(value);
      break;
    case Type::Timestamp:
      valid = valid_timestamp(value);
      break;
    case Type::Binary:
      valid = valid_binary(value);
      break;
    default:
      break;
  }
  if (!valid) {
    throw YamlError(stream.mark(id), "could not construct a " + std::string(type_word(type)) +
                                         " from " + shown_value(value));
  }
}

// Where a node is used: merge ("<<") and value ("=") scalars only mean something as the key of
// a mapping; anywhere else a loader has nothing to build from them. A list that a merge key
// brings in is no value of its own: only its items are built.
enum class Slot { Key, Other, MergedList };

struct Loaded {
  const Stream& stream;
  std::deque<Stream::Node>& nodes;
  std::unordered_map<NodeId, std::vector<NodeId>>& merges;
  // Per slot (key or other), the nodes already built that way; shared by the documents of a
  // stream.
  std::array<std::vector<bool>, 2> built = {std::vector<bool>(nodes.size()),
                                            std::vector<bool>(nodes.size())};
  // The lists already found to hold only mappings, so that each is read once for merging.
  std::vector<bool> mergeable_lists = std::vector<bool>(nodes.size());
  // Per merged list, how many of its items are still to be handed out for building, the last
  // first; one count for all the mappings that merge the list, so each item is handed out once.
  // Kept for merged lists only, so that a text without merges pays nothing per node.
  std::unordered_map<NodeId, std::size_t> items_left;

  Type type_of(NodeId id) {
    auto& node = nodes[id];
    if (!node.resolved) {
      node.type = resolve(stream, id);
      node.resolved = true;
    }
    return node.type;
  }
};

// A merge key's value must be a mapping or a list of mappings.
void check_mergeable(Loaded& loaded, NodeId value_id) {
  const Stream& stream = loaded.stream;
  const Kind kind = stream.kind(value_id);
  if (kind == Kind::Mapping) return;
  if (kind != Kind::Sequence) {
    throw YamlError(stream.mark(value_id),
                    "expected a mapping or list of mappings for merging, but found " +
                        std::string(kind_name(kind)));
  }
  if (loaded.mergeable_lists[value_id]) return;
  for (const NodeId item : stream.children(value_id)) {
    if (stream.kind(item) != Kind::Mapping) {
      throw YamlError(stream.mark(item), "expected a mapping for merging, but found " +
                                             std::string(kind_name(stream.kind(item))));
    }
  }
  loaded.mergeable_lists[value_id] = true;
}

// What a collection's building checks before any of its children is built: the entries of an
// omap or pairs, and a mapping's merge keys and keys.
void check_children(Loaded& loaded, NodeId id, Type type, bool collection_keys) {
  const Stream& stream = loaded.stream;
  const std::span<const NodeId> children = stream.children(id);
  switch (type) {
    case Type::Omap:
    case Type::Pairs:
      for (const NodeId entry : children) {
        if (stream.kind(entry) != Kind::Mapping) {
          throw YamlError(stream.mark(entry), "expected a mapping of length 1, but found " +
                                                  std::string(kind_name(stream.kind(entry))));
        }
        if (stream.children(entry).size() != 2) {
          throw YamlError(stream.mark(entry),
                          "expected a single mapping item, but found " +
                              std::to_string(stream.children(entry).size() / 2) + " items");
        }
      }
      break;
    case Type::Map:
    case Type::Set:
      for (std::size_t i = 0; i + 1 < children.size(); i += 2) {
        const NodeId key = children[i];
        const NodeId value = children[i + 1];
        const Type key_type = loaded.type_of(key);
        if (key_type == Type::Merge) {
          check_mergeable(loaded, value);
          // The merge is kept as a reference to the value, never as a copy of a list's
          // items: many mappings merging one long list cost no more than the text that says so.
          const bool list = stream.kind(value) == Kind::Sequence;
          if (!list || !stream.children(value).empty()) loaded.merges[id].push_back(value);
          continue;
        }
        if (is_collection(key_type) && !collection_keys) {
          throw YamlError(stream.mark(key), "found unhashable key");
        }
      }
      break;
    default:
      break;
  }
}

// Builds, in the loader's sense, every node reachable from the root, once per way it is used,
// in the order of a loader that puts all of a collection's children on its stack and builds
// the last first. Iterative, since aliases can chain nested collections far deeper than
// MAX_DEPTH; a collection whose children are being built is one entry of the stack, however
// many children it has.
void build_all(Loaded& loaded, NodeId root, bool collection_keys) {
  struct Frame {
    NodeId id;
    Slot slot;
    bool started = false;  // checked, its children being handed out
    std::size_t left = 0;  // how many of its children are still to be handed out, the last first
  };
  const Stream& stream = loaded.stream;
  std::vector<Frame> pending = {{root, Slot::Other}};
  while (!pending.empty()) {
    Frame& frame = pending.back();
    const NodeId id = frame.id;
    if (frame.slot == Slot::MergedList) {
      // The list stays pending while it has items left and hands them out one at a time, the
      // last first: the order in which they would be built had each merging mapping pushed them
      // all. A mapping that merges the list again while its items are being built takes the
      // items not yet handed out, and the ones handed out before are built or being built.
      const std::span<const NodeId> items = stream.children(id);
      auto& left = loaded.items_left.try_emplace(id, items.size()).first->second;
      if (left == 0) {
        pending.pop_back();
      } else {
        --left;
        pending.push_back({items[left], Slot::Other});
      }
      continue;
    }
    if (frame.started) {
      if (frame.left == 0) {
        pending.pop_back();
        continue;
      }
      const std::span<const NodeId> children = stream.children(id);
      const std::size_t at = frame.left - 1;
      NodeId child = children[at];
      Slot child_slot = Slot::Other;
      --frame.left;
      switch (loaded.type_of(id)) {
        case Type::Seq:
          break;
        case Type::Omap:
        case Type::Pairs:
          // Each entry is a mapping of one key and its value, the value handed out first.
          child = stream.children(children[at / 2])[at % 2];
          break;
        default:
          if (at % 2 == 0) {
            child_slot = Slot::Key;
          } else if (loaded.type_of(children[at - 1]) == Type::Merge) {
            // Only the value of a merge key is built, and of a list only its items.
            --frame.left;
            if (stream.kind(child) == Kind::Sequence) {
              if (stream.children(child).empty()) continue;
              child_slot = Slot::MergedList;
            }
          }
          break;
      }
      pending.push_back({child, child_slot});
      continue;
    }
    auto built = loaded.built[static_cast<std::size_t>(frame.slot)][id];
    if (built) {
      pending.pop_back();
      continue;
    }
    built = true;
    const Type type = loaded.type_of(id);
    switch (type) {
      case Type::Merge:
      case Type::Value:
        if (frame.slot != Slot::Key) {
          no_constructor(
              stream, id,
              std::string(STANDARD_TAG_PREFIX) + (type == Type::Merge ? "merge" : "value"));
        }
        pending.pop_back();
        break;
      case Type::Seq:
      case Type::Omap:
      case Type::Pairs:
      case Type::Map:
      case Type::Set:
        check_children(loaded, id, type, collection_keys);
        frame.started = true;
        frame.left = stream.children(id).size();
        break;
      default:
        check_scalar(stream, id, type);
        pending.pop_back();
        break;
    }
  }
}

// A mapping that merges itself, directly or through others, has no finite set of keys.
// Mappings are searched in the order of the merge table, depth first, each once; a merged list
// walked to its end leads only to mappings already done and is not walked again.
void reject_merge_cycles(const Loaded& loaded) {
  if (loaded.merges.empty()) return;
  const Stream& stream = loaded.stream;
  enum class Colour : unsigned char { White, Grey, Black };
  std::vector<Colour> colour(stream.size(), Colour::White);
  const auto steps = [&](NodeId id) -> std::span<const NodeId> {
    if (stream.kind(id) == Kind::Sequence) return stream.children(id);
    const auto merged = loaded.merges.find(id);
    if (merged == loaded.merges.end()) return {};
    return merged->second;
  };
  for (const auto& [start, unused] : loaded.merges) {
    if (colour[start] != Colour::White) continue;
    // Each frame is a mapping or merged list and the index of the next step to follow.
    std::vector<std::pair<NodeId, std::size_t>> stack = {{start, 0}};
    colour[start] = Colour::Grey;
    while (!stack.empty()) {
      auto& [id, next] = stack.back();
      const std::span<const NodeId> edges = steps(id);
      if (next >= edges.size()) {
        colour[id] = Colour::Black;
        stack.pop_back();
        continue;
      }
      const NodeId target = edges[next++];
      if (stream.kind(target) == Kind::Sequence) {
        // A list still being walked is walked again from its start: it meets only finished
        // mappings before the one on the path, which closes the cycle.
        if (colour[target] != Colour::Black) stack.emplace_back(target, 0);
        continue;
      }
      if (colour[target] == Colour::Grey) {
        throw YamlError(stream.mark(target), "found a mapping that merges itself");
      }
      if (colour[target] == Colour::White) {
        colour[target] = Colour::Grey;
        stack.emplace_back(target, 0);
      }
    }
  }
}

std::vector<std::string> text_keys(const Stream& stream, NodeId root) {
  std::vector<std::string> keys;
  std::unordered_set<std::string_view> listed;
  // Each node is looked at once: a mapping queued, a merged list opened, a key read. A key that
  // many mappings share through an alias is thus read once, however long its text.
  std::vector<bool> seen(stream.size());
  std::vector<NodeId> queue = {root};
  seen[root] = true;
  const auto enqueue = [&](NodeId mapping) {
    if (seen[mapping]) return;
    seen[mapping] = true;
    queue.push_back(mapping);
  };
  for (std::size_t at_index = 0; at_index < queue.size(); ++at_index) {
    const std::span<const NodeId> children = stream.children(queue[at_index]);
    for (std::size_t i = 0; i + 1 < children.size(); i += 2) {
      const NodeId key_id = children[i];
      if (seen[key_id]) continue;
      seen[key_id] = true;
      // As a key, "=" is plain text.
      const Type type = stream.type(key_id);
      if ((type == Type::Str || type == Type::Value) &&
          listed.insert(stream.value(key_id)).second) {
        keys.emplace_back(stream.value(key_id));
      }
    }
    const auto merged = stream.merges.find(queue[at_index]);
    if (merged == stream.merges.end()) continue;
    for (const NodeId value : merged->second) {
      if (stream.kind(value) == Kind::Mapping) {
        enqueue(value);
      } else if (!seen[value]) {
        seen[value] = true;
        for (const NodeId item : stream.children(value)) enqueue(item);
      }
    }
  }
  return keys;
}

}  // namespace

Stream load(std::string_view yaml_text, const LoadOptions& options) {
  Stream stream;
  {
    Parser parser(yaml_text);
    Composer composer(stream, options.single_document);
    for (;;) {
      Event event;
      parser.next(event.get());
      if (!composer.take(event.get(), parser.opened_flow_level(event.get()))) break;
    }
  }
  std::deque<Stream::Node>& nodes = StreamBuilder::nodes(stream);
  Loaded loaded{stream, nodes, stream.merges};
  for (const NodeId root : stream.documents) build_all(loaded, root, options.collection_keys);
  reject_merge_cycles(loaded);
  for (auto& node : nodes) {
    // An entry of an omap or pairs: read for its key and value, never built itself.
    if (!node.resolved && node.kind != Kind::Scalar) {
      node.type = node.kind == Kind::Sequence ? Type::Seq : Type::Map;
    }
  }
  return stream;
}

SafeDocument safe_load(std::string_view yaml_text) {
  const Stream stream = load(yaml_text);
  if (stream.documents.empty()) return {};
  const NodeId root = stream.documents.front();
  if (stream.type(root) != Type::Map) return {};
  return {.is_mapping = true, .text_keys = text_keys(stream, root)};
}

}  // namespace quarnel::utils::yaml
