#ifndef LODEMIG_UTILS_JSON_LINE_H_
#define LODEMIG_UTILS_JSON_LINE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel::utils {

// Appends `text` to `out` as a JSON string, quotes included. Any bytes are
// taken: '"' and '\' are escaped, every control character (below 0x20, and
// DEL) becomes \u00XX, and a byte that does not belong to valid UTF-8 (a
// stray continuation byte, a sequence cut short, an overlong form, a
// surrogate, a code point above U+10FFFF) becomes U+FFFD, so that the result
// is always valid JSON and valid UTF-8.
void appendJsonString(std::string& out, std::string_view text);

// One JSON object built field by field, for a line of a JSON Lines file.
// Field names are written as given (escaped like values); the caller keeps
// them unique. text() closes the object; add nothing after it.
class JsonLine {
 public:
  JsonLine() : text_("{") {}

  JsonLine& add(std::string_view name, std::string_view value);
  JsonLine& add(std::string_view name, const char* value) {
    return add(name, std::string_view(value));
  }
  JsonLine& add(std::string_view name, std::int64_t value);
  JsonLine& add(std::string_view name, std::uint64_t value);
  JsonLine& add(std::string_view name, int value) {
    return add(name, static_cast<std::int64_t>(value));
  }
  // A number with three decimals; one that is not finite is written as 0.
  JsonLine& add(std::string_view name, double value);
  // `object` must be a whole object made by another JsonLine's text().
  JsonLine& addObject(std::string_view name, const std::string& object);

  // The object, closed: "{...}", without a line end.
  std::string text() const { return text_ + "}"; }

 private:
  void name(std::string_view field);

  std::string text_;
};

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_JSON_LINE_H_
