#include "dav/mime_body.h"

#include <algorithm>

#include "imap/digest.h"
#include "utils/ascii.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;
using ostrel::utils::lowerAsciiCopy;

// Calendar invitations nest a few levels (mixed > alternative > calendar, a
// forwarded message around that); a hostile message is cut off here.
constexpr int kMaxDepth = 8;

struct EntityHeader {
  bool hasType = false;
  std::string type;      // lower-case "type/subtype"
  std::string boundary;  // of a multipart body
  std::string encoding;  // lower-case Content-Transfer-Encoding
};

enum class Search { kNotFound, kFound, kBroken };

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  return text;
}

// The end of the line starting at `start` (its LF, or the text's end).
std::size_t lineEnd(std::string_view text, std::size_t start) {
  const std::size_t end = text.find('\n', start);
  return end == std::string_view::npos ? text.size() : end;
}

// Splits an entity at its first empty line; without one it is all header.
void splitEntity(std::string_view entity, std::string_view& header, std::string_view& body) {
  for (std::size_t start = 0; start < entity.size();) {
    const std::size_t end = lineEnd(entity, start);
    const std::string_view line = entity.substr(start, end - start);
    if (line.empty() || line == "\r") {
      header = entity.substr(0, start);
      body = end < entity.size() ? entity.substr(end + 1) : std::string_view();
      return;
    }
    start = end + 1;
  }
  header = entity;
  body = std::string_view();
}

// A Content-Type parameter's value, quoted (with backslash escapes) or not.
std::string parameterValue(std::string_view text, std::size_t& at) {
  std::string value;
  if (at < text.size() && text[at] == '"') {
    for (++at; at < text.size() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) {
        ++at;
      }
      value.push_back(text[at]);
    }
    ++at;
    return value;
  }
  const std::size_t end = std::min(text.find(';', at), text.size());
  value = std::string(trimmed(text.substr(at, end - at)));
  at = end;
  return value;
}

void parseContentType(std::string_view value, EntityHeader& header) {
  header.hasType = true;
  std::size_t at = std::min(value.find(';'), value.size());
  header.type = lowerAsciiCopy(trimmed(value.substr(0, at)));
  while (at < value.size()) {
    const std::size_t equals = value.find('=', at);
    if (equals == std::string_view::npos) {
      return;
    }
    const std::string_view name = trimmed(value.substr(at + 1, equals - at - 1));
    at = equals + 1;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) {
      ++at;
    }
    const std::string parameter = parameterValue(value, at);
    if (equalsIgnoreCase(name, "boundary")) {
      header.boundary = parameter;
    }
    at = std::min(value.find(';', at), value.size());
  }
}

void takeField(std::string_view field, EntityHeader& header) {
  const std::size_t colon = field.find(':');
  if (colon == std::string_view::npos) {
    return;
  }
  const std::string_view name = trimmed(field.substr(0, colon));
  const std::string_view value = trimmed(field.substr(colon + 1));
  if (equalsIgnoreCase(name, "Content-Type")) {
    parseContentType(value, header);
  } else if (equalsIgnoreCase(name, "Content-Transfer-Encoding")) {
    header.encoding = lowerAsciiCopy(value);
  }
}

EntityHeader parseHeader(std::string_view text) {
  EntityHeader header;
  std::string field;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = lineEnd(text, start);
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    start = end + 1;
    // A folded field goes on on lines that start with white space.
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      field.append(line);
      continue;
    }
    takeField(field, header);
    field.assign(line);
  }
  takeField(field, header);
  return header;
}

// The parts of a multipart body: what lies between its delimiter lines, the
// line end before each delimiter belonging to the delimiter.
std::vector<std::string_view> multipartParts(std::string_view body, const std::string& boundary) {
  std::vector<std::string_view> parts;
  const std::string delimiter = "--" + boundary;
  std::size_t partStart = std::string_view::npos;
  for (std::size_t start = 0; start < body.size();) {
    const std::size_t end = lineEnd(body, start);
    const std::string_view line = trimmed(body.substr(start, end - start));
    if (line.substr(0, delimiter.size()) == delimiter) {
      const std::string_view rest = line.substr(delimiter.size());
      if (rest.empty() || rest == "--") {
        if (partStart != std::string_view::npos) {
          std::size_t partEnd = start > partStart ? start - 1 : start;
          if (partEnd > partStart && body[partEnd - 1] == '\r') {
            --partEnd;
          }
          parts.push_back(body.substr(partStart, partEnd - partStart));
        }
        if (rest == "--") {
          return parts;
        }
        partStart = end + 1 <= body.size() ? end + 1 : body.size();
      }
    }
    start = end + 1;
  }
  // A body cut off before its closing delimiter keeps its last part.
  if (partStart != std::string_view::npos && partStart < body.size()) {
    parts.push_back(body.substr(partStart));
  }
  return parts;
}

bool startsWithSignature(std::string_view body, std::string_view signature) {
  std::size_t at = 0;
  while (at < body.size() &&
         (body[at] == ' ' || body[at] == '\t' || body[at] == '\r' || body[at] == '\n')) {
    ++at;
  }
  return equalsIgnoreCase(body.substr(at, signature.size()), signature);
}

struct Finder {
  const std::vector<std::string>& types;
  std::string_view signature;
  std::string& body;
  std::string error;

  Search decode(const EntityHeader& header, std::string_view content) {
    if (header.encoding == "base64") {
      bool valid = true;
      body = ostrel::crypto::base64Decode(std::string(content), &valid);
      if (!valid) {
        error = "its base64 is broken";
        return Search::kBroken;
      }
    } else if (header.encoding == "quoted-printable") {
      body = decodeQuotedPrintable(content);
    } else {
      body.assign(content);
    }
    return Search::kFound;
  }

  Search search(std::string_view entity, int depth) {
    std::string_view headerText;
    std::string_view content;
    splitEntity(entity, headerText, content);
    const EntityHeader header = parseHeader(headerText);
    if (std::find(types.begin(), types.end(), header.type) != types.end() ||
        (depth == 0 && !header.hasType && startsWithSignature(content, signature))) {
      return decode(header, content);
    }
    if (depth >= kMaxDepth) {
      return Search::kNotFound;
    }
    if (header.type.rfind("multipart/", 0) == 0 && !header.boundary.empty()) {
      for (const std::string_view part : multipartParts(content, header.boundary)) {
        const Search found = search(part, depth + 1);
        if (found != Search::kNotFound) {
          return found;
        }
      }
    } else if (header.type == "message/rfc822") {
      return search(content, depth + 1);
    }
    return Search::kNotFound;
  }
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

}  // namespace

std::string decodeQuotedPrintable(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      decoded.push_back(text[i]);
      continue;
    }
    // A soft line break: "=" then white space writers leave, then the line end.
    std::size_t next = i + 1;
    while (next < text.size() && (text[next] == ' ' || text[next] == '\t')) {
      ++next;
    }
    if (next < text.size() && (text[next] == '\r' || text[next] == '\n')) {
      i = text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n' ? next + 1 : next;
      continue;
    }
    if (next == text.size()) {
      break;
    }
    const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
    if (low < 0) {
      decoded.push_back('=');
      continue;
    }
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return decoded;
}

std::string findMimeBody(std::string_view message, const std::vector<std::string>& types,
                         std::string_view signature, std::string& body) {
  Finder finder{types, signature, body, std::string()};
  switch (finder.search(message, 0)) {
    case Search::kFound:
      return std::string();
    case Search::kBroken:
      return finder.error;
    case Search::kNotFound:
      break;
  }
  return "no " + (types.empty() ? std::string("calendar or contact") : types.front()) + " part";
}

}  // namespace lodemig
