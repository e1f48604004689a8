// Parsing "config.json" into a document: the library's own parser, with a builder that caps the
// nesting of objects and arrays and notes what a rewrite of the file would change (a member name
// met twice in one object, a number the library cannot hold as written).
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "config_internal.h"

namespace brimwarden::config {
namespace {

using Json = nlohmann::json;

// Tells whether a number the library read as a double does not hold what the file writes, so that
// printing it back would change it: an integer beyond the 64-bit ranges (the library falls back to
// a double, losing digits), or a number that is not zero but became zero (below the smallest
// double). Other doubles keep their value, whatever their spelling.
bool ChangesWhenRead(double value, std::string_view text) {
  const std::size_t digits_from = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.find_first_not_of("0123456789", digits_from) == std::string_view::npos) return true;
  if (value != 0.0) return false;
  const std::string_view mantissa = text.substr(0, text.find_first_of("eE"));
  return mantissa.find_first_of("123456789") != std::string_view::npos;
}

// Builds the document from the parser's events, as the library's own builder does, but refuses
// to open more than kMaxConfigNesting objects and arrays: printing a document nested thousands of
// levels deep would overflow the stack and inflate it to gigabytes.
class NestingCappedBuilder {
 public:
  explicit NestingCappedBuilder(Json& root) : root_(root) {}

  bool null() { return Put(nullptr) != nullptr; }
  bool boolean(bool value) { return Put(value) != nullptr; }
  bool number_integer(Json::number_integer_t value) { return Put(value) != nullptr; }
  bool number_unsigned(Json::number_unsigned_t value) { return Put(value) != nullptr; }
  bool number_float(Json::number_float_t value, const Json::string_t& text) {
    if (!changed_number_ && ChangesWhenRead(value, text)) {
      changed_number_ = ParsedConfig::ChangedNumber{text, Json(value).dump()};
    }
    return Put(value) != nullptr;
  }
  bool string(Json::string_t& value) { return Put(std::move(value)) != nullptr; }
  bool binary(Json::binary_t& value) { return Put(Json::binary(std::move(value))) != nullptr; }
  bool start_object(std::size_t /*size*/) { return Open(Json::object()); }
  bool key(Json::string_t& name) {
    key_ = std::move(name);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t /*size*/) { return Open(Json::array()); }
  bool end_array() { return Close(); }
  template <typename Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const Exception& error) {
    throw error;
  }

  bool TooDeep() const { return too_deep_; }
  std::optional<std::string> TakeDuplicateMember() { return std::move(duplicate_member_); }
  std::optional<ParsedConfig::ChangedNumber> TakeChangedNumber() {
    return std::move(changed_number_);
  }

 private:
  // Places a value where the parser is: the root, the next element of the open array, or the
  // member named by the last key of the open object (a repeated name keeps the last value).
  Json* Put(Json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    if (!duplicate_member_ && parent.contains(key_)) duplicate_member_ = key_;
    Json& member = parent[key_];
    member = std::move(value);
    return &member;
  }

  bool Open(Json container) {
    if (open_.size() >= kMaxConfigNesting) {
      too_deep_ = true;
      return false;
    }
    open_.push_back(Put(std::move(container)));
    return true;
  }

  bool Close() {
    open_.pop_back();
    return true;
  }

  Json& root_;
  // Only the innermost open container ever grows, so these pointers stay valid.
  std::vector<Json*> open_;
  Json::string_t key_;
  bool too_deep_ = false;
  std::optional<std::string> duplicate_member_;
  std::optional<ParsedConfig::ChangedNumber> changed_number_;
};

}  // namespace

ParsedConfig ParseConfigText(const std::string& text) {
  ParsedConfig parsed;
  NestingCappedBuilder builder(parsed.document);
  if (!Json::sax_parse(text, &builder, Json::input_format_t::json, /*strict=*/false) &&
      builder.TooDeep()) {
    throw std::runtime_error(
        fmt::format("Config file is nested deeper than {} levels", kMaxConfigNesting));
  }
  parsed.duplicate_member = builder.TakeDuplicateMember();
  parsed.changed_number = builder.TakeChangedNumber();
  return parsed;
}

}  // namespace brimwarden::config
