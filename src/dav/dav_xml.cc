#include "dav/dav_xml.h"

#include <algorithm>
#include <cstdint>

#include "utils/utf8.h"

namespace lodemig {
namespace {

constexpr char kXmlNs[] = "http://www.w3.org/XML/1998/namespace";

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isNameChar(char c) {
  return !isSpace(c) && c != '>' && c != '/' && c != '=' && c != '<' && c != '"' && c != '\'' &&
         c != '&';
}

bool validCodePoint(std::uint32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// An element whose end tag has not come yet.
struct Open {
  XmlElement element;
  std::string qname;
  std::size_t scopes = 0;  // the namespace declarations in force before it
};

// Reads one document front to back; never recursive, so its stack use does
// not grow with the document.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  XmlElement document();

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw XmlException("malformed XML answer: " + why + " at byte " + std::to_string(pos_));
  }
  bool startsWith(std::string_view piece) const {
    return text_.substr(pos_, piece.size()) == piece;
  }
  void skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) {
      ++pos_;
    }
  }
  void skipPast(std::string_view end, const char* what) {
    const std::size_t at = text_.find(end, pos_);
    if (at == std::string_view::npos) {
      fail(std::string("unterminated ") + what);
    }
    pos_ = at + end.size();
  }
  bool skipMarkup();
  std::string name();
  void entity(std::string& out);
  std::string attributeValue();
  bool startTag(std::vector<Open>& open, XmlElement& root);
  bool endTag(std::vector<Open>& open, XmlElement& root);
  bool close(std::vector<Open>& open, XmlElement& root);
  std::string resolve(const std::string& qname, bool isElement);

  std::string_view text_;
  std::size_t pos_ = 0;
  std::vector<std::pair<std::string, std::string>> scopes_;  // prefix, URI
};

// Comments and processing instructions, wherever they may stand; a
// DOCTYPE is refused because its entities could make a small answer huge.
bool Reader::skipMarkup() {
  if (startsWith("<!--")) {
    skipPast("-->", "comment");
  } else if (startsWith("<?")) {
    skipPast("?>", "processing instruction");
  } else if (startsWith("<!DOCTYPE") || startsWith("<!doctype")) {
    fail("a DOCTYPE is not accepted");
  } else {
    return false;
  }
  return true;
}

std::string Reader::name() {
  const std::size_t start = pos_;
  while (pos_ < text_.size() && isNameChar(text_[pos_])) {
    ++pos_;
  }
  if (pos_ == start) {
    fail("name expected");
  }
  return std::string(text_.substr(start, pos_ - start));
}

void Reader::entity(std::string& out) {
  const std::size_t end = text_.find(';', pos_);
  if (end == std::string_view::npos || end - pos_ > 12) {
    fail("unterminated entity");
  }
  const std::string_view body = text_.substr(pos_ + 1, end - pos_ - 1);
  static const std::pair<std::string_view, char> named[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& [entityName, value] : named) {
    if (body == entityName) {
      out += value;
      pos_ = end + 1;
      return;
    }
  }
  const bool hex = body.size() > 2 && body[0] == '#' && (body[1] == 'x' || body[1] == 'X');
  const std::string_view digits = body.substr(std::min<std::size_t>(body.size(), hex ? 2 : 1));
  std::uint32_t code = 0;
  bool numeric = body.size() > 1 && body[0] == '#' && !digits.empty() && digits.size() <= 8;
  for (std::size_t i = 0; numeric && i < digits.size(); ++i) {
    const char c = digits[i];
    const int digit = c >= '0' && c <= '9'          ? c - '0'
                      : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                    : -1;
    numeric = digit >= 0;
    code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
  }
  if (!numeric || !validCodePoint(code)) {
    fail("unknown or invalid entity &" + std::string(body) + ";");
  }
  ostrel::utils::appendUtf8(out, static_cast<char32_t>(code));
  pos_ = end + 1;
}

std::string Reader::attributeValue() {
  if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
    fail("quoted attribute value expected");
  }
  const char quote = text_[pos_++];
  std::string value;
  while (pos_ < text_.size() && text_[pos_] != quote) {
    if (text_[pos_] == '<') {
      fail("\"<\" in an attribute value");
    }
    if (text_[pos_] == '&') {
      entity(value);
    } else {
      value += text_[pos_++];
    }
  }
  if (pos_ >= text_.size()) {
    fail("unterminated attribute value");
  }
  ++pos_;
  return value;
}

std::string Reader::resolve(const std::string& qname, bool isElement) {
  const std::size_t colon = qname.find(':');
  const std::string prefix = colon == std::string::npos ? std::string() : qname.substr(0, colon);
  if (prefix == "xml") {
    return kXmlNs;
  }
  if (prefix.empty() && !isElement) {
    return std::string();
  }
  for (auto it = scopes_.rbegin(); it != scopes_.rend(); ++it) {
    if (it->first == prefix) {
      return it->second;
    }
  }
  if (!prefix.empty()) {
    fail("undeclared namespace prefix \"" + prefix + "\"");
  }
  return std::string();
}

// Reads a start tag; true when it was an empty root element, which ends
// the document.
bool Reader::startTag(std::vector<Open>& open, XmlElement& root) {
  if (open.size() >= static_cast<std::size_t>(kMaxXmlDepth)) {
    fail("elements nested deeper than " + std::to_string(kMaxXmlDepth));
  }
  ++pos_;
  Open element;
  element.qname = name();
  element.scopes = scopes_.size();
  std::vector<std::pair<std::string, std::string>> raw;
  for (;;) {
    const std::size_t before = pos_;
    skipSpace();
    if (pos_ >= text_.size()) {
      fail("unterminated start tag");
    }
    if (text_[pos_] == '>' || startsWith("/>")) {
      break;
    }
    if (pos_ == before) {
      fail("space expected before an attribute");
    }
    std::string attributeName = name();
    skipSpace();
    if (pos_ >= text_.size() || text_[pos_] != '=') {
      fail("\"=\" expected after attribute " + attributeName);
    }
    ++pos_;
    skipSpace();
    std::string value = attributeValue();
    if (attributeName == "xmlns") {
      scopes_.emplace_back(std::string(), value);
    } else if (attributeName.rfind("xmlns:", 0) == 0) {
      scopes_.emplace_back(attributeName.substr(6), value);
    } else {
      raw.emplace_back(std::move(attributeName), std::move(value));
    }
  }
  element.element.ns = resolve(element.qname, true);
  const std::size_t colon = element.qname.find(':');
  element.element.name =
      colon == std::string::npos ? element.qname : element.qname.substr(colon + 1);
  for (auto& [attributeName, value] : raw) {
    resolve(attributeName, false);
    const std::size_t at = attributeName.find(':');
    element.element.attributes.emplace_back(
        at == std::string::npos ? attributeName : attributeName.substr(at + 1), std::move(value));
  }
  const bool empty = startsWith("/>");
  pos_ += empty ? 2 : 1;
  open.push_back(std::move(element));
  return empty && close(open, root);
}

// Ends the innermost open element; true when it was the root.
bool Reader::close(std::vector<Open>& open, XmlElement& root) {
  Open done = std::move(open.back());
  open.pop_back();
  scopes_.resize(done.scopes);
  if (open.empty()) {
    root = std::move(done.element);
    return true;
  }
  open.back().element.children.push_back(std::move(done.element));
  return false;
}

bool Reader::endTag(std::vector<Open>& open, XmlElement& root) {
  pos_ += 2;
  const std::string qname = name();
  skipSpace();
  if (pos_ >= text_.size() || text_[pos_] != '>') {
    fail("unterminated end tag");
  }
  ++pos_;
  if (open.empty() || open.back().qname != qname) {
    fail("end tag </" + qname + "> does not match");
  }
  return close(open, root);
}

XmlElement Reader::document() {
  if (text_.size() > kMaxXmlSize) {
    fail("larger than " + std::to_string(kMaxXmlSize >> 20) + " MiB");
  }
  if (startsWith("\xEF\xBB\xBF")) {
    pos_ = 3;
  }
  for (skipSpace(); skipMarkup(); skipSpace()) {
  }
  if (pos_ >= text_.size() || text_[pos_] != '<') {
    fail("no root element");
  }
  std::vector<Open> open;
  XmlElement root;
  for (bool done = startTag(open, root); !done;) {
    if (pos_ >= text_.size()) {
      fail("end tag </" + open.back().qname + "> missing");
    }
    if (startsWith("</")) {
      done = endTag(open, root);
    } else if (startsWith("<![CDATA[")) {
      const std::size_t end = text_.find("]]>", pos_ + 9);
      if (end == std::string_view::npos) {
        fail("unterminated CDATA section");
      }
      open.back().element.text.append(text_.substr(pos_ + 9, end - pos_ - 9));
      pos_ = end + 3;
    } else if (skipMarkup()) {
    } else if (startsWith("<!")) {
      fail("markup declaration inside an element");
    } else if (text_[pos_] == '<') {
      done = startTag(open, root);
    } else if (text_[pos_] == '&') {
      entity(open.back().element.text);
    } else {
      open.back().element.text += text_[pos_++];
    }
  }
  for (skipSpace(); skipMarkup(); skipSpace()) {
  }
  if (pos_ < text_.size()) {
    fail("content after the root element");
  }
  return root;
}

}  // namespace

const XmlElement* XmlElement::child(std::string_view wantedNs, std::string_view wantedName) const {
  for (const XmlElement& element : children) {
    if (element.ns == wantedNs && element.name == wantedName) {
      return &element;
    }
  }
  return nullptr;
}

std::vector<const XmlElement*> XmlElement::all(std::string_view wantedNs,
                                               std::string_view wantedName) const {
  std::vector<const XmlElement*> found;
  for (const XmlElement& element : children) {
    if (element.ns == wantedNs && element.name == wantedName) {
      found.push_back(&element);
    }
  }
  return found;
}

std::string XmlElement::attribute(std::string_view wanted) const {
  for (const auto& [key, value] : attributes) {
    if (key == wanted) {
      return value;
    }
  }
  return std::string();
}

XmlElement parseXml(std::string_view text) {
  return Reader(text).document();
}

std::string xmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += static_cast<unsigned char>(c) < 0x20 && !isSpace(c) ? '?' : c;
    }
  }
  return out;
}

}  // namespace lodemig
