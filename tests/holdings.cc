#include "tests/holdings.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <utility>

#include "tests/temp_dir.h"

namespace lodemig::testing {

namespace {

constexpr char kDelivered[] = "DELIVER";
constexpr int kDetailItems = 4;

// The value of the "name: " line of a .meta file.
std::string metaValue(const std::string& meta, const std::string& name) {
  const std::string prefix = name + ": ";
  for (std::size_t at = 0; at < meta.size();) {
    const std::size_t end = std::min(meta.find('\n', at), meta.size());
    if (meta.compare(at, prefix.size(), prefix) == 0) {
      return meta.substr(at + prefix.size(), end - at - prefix.size());
    }
    at = end + 1;
  }
  return "<no " + name + ">";
}

std::string shortened(const std::string& text) {
  return text.size() <= 40 ? text : text.substr(0, 40) + "...";
}

void note(std::string& detail, int& shown, const std::string& what, const std::string& folder,
          const std::string& content) {
  if (shown++ < kDetailItems) {
    detail += what + " in " + folder + ": " + shortened(content) + "\n";
  }
}

// Reads one CSV field starting at `at`; `at` ends after its separator.
std::string csvField(const std::string& text, std::size_t& at, bool& rowEnds) {
  std::string value;
  if (at < text.size() && text[at] == '"') {
    for (++at; at < text.size(); ++at) {
      if (text[at] == '"' && at + 1 < text.size() && text[at + 1] == '"') {
        value += '"';
        ++at;
      } else if (text[at] == '"') {
        ++at;
        break;
      } else {
        value += text[at];
      }
    }
  }
  while (at < text.size() && text[at] != ',' && text[at] != '\r' && text[at] != '\n') {
    value += text[at++];
  }
  rowEnds = at >= text.size() || text[at] != ',';
  if (at < text.size() && text[at] == '\r') {
    ++at;
  }
  if (at < text.size()) {
    ++at;
  }
  return value;
}

}  // namespace

std::vector<HeldMessage> heldMessages(const std::string& storeDirectory,
                                      const std::string& account) {
  std::vector<std::string> names;
  std::error_code error;
  const std::string messages = storeDirectory + "/accounts/" + account + "/messages";
  for (const auto& entry : std::filesystem::directory_iterator(messages, error)) {
    if (entry.path().extension() == ".eml") {
      names.push_back(entry.path().string());
    }
  }
  std::sort(names.begin(), names.end());
  std::vector<HeldMessage> held;
  for (const std::string& eml : names) {
    const std::string meta = readFile(eml.substr(0, eml.size() - 4) + ".meta");
    held.push_back({metaValue(meta, "folder"), metaValue(meta, "flags"), metaValue(meta, "date"),
                    metaValue(meta, "command"), readFile(eml)});
  }
  return held;
}

std::vector<HeldMessage> migrated(const std::vector<HeldMessage>& held) {
  std::vector<HeldMessage> ours;
  std::copy_if(held.begin(), held.end(), std::back_inserter(ours),
               [](const HeldMessage& m) { return m.command != kDelivered; });
  return ours;
}

std::vector<HeldMessage> delivered(const std::vector<HeldMessage>& held) {
  std::vector<HeldMessage> theirs;
  std::copy_if(held.begin(), held.end(), std::back_inserter(theirs),
               [](const HeldMessage& m) { return m.command == kDelivered; });
  return theirs;
}

Tally tally(const std::vector<HeldMessage>& want, const std::vector<HeldMessage>& got) {
  using Key = std::pair<std::string, std::string>;  // folder, content
  using Stamps = std::vector<std::pair<std::string, std::string>>;
  std::map<Key, std::pair<Stamps, Stamps>> byContent;
  for (const HeldMessage& m : want) {
    byContent[{m.folder, m.content}].first.emplace_back(m.flags, m.date);
  }
  for (const HeldMessage& m : got) {
    byContent[{m.folder, m.content}].second.emplace_back(m.flags, m.date);
  }
  Tally result;
  int shown = 0;
  for (auto& [key, stamps] : byContent) {
    auto& [wanted, held] = stamps;
    const int lost = std::max(0, static_cast<int>(wanted.size()) - static_cast<int>(held.size()));
    const int doubled =
        std::max(0, static_cast<int>(held.size()) - static_cast<int>(wanted.size()));
    if (lost > 0) {
      note(result.detail, shown, "lost " + std::to_string(lost), key.first, key.second);
    }
    if (doubled > 0) {
      note(result.detail, shown, "doubled " + std::to_string(doubled), key.first, key.second);
    }
    std::sort(wanted.begin(), wanted.end());
    std::sort(held.begin(), held.end());
    Stamps unmatched;
    std::set_difference(wanted.begin(), wanted.end(), held.begin(), held.end(),
                        std::back_inserter(unmatched));
    const int wrong = std::max(0, static_cast<int>(unmatched.size()) - lost);
    if (wrong > 0) {
      note(result.detail, shown,
           "flags or date other than \"" + unmatched.front().first + "\" " +
               unmatched.front().second,
           key.first, key.second);
    }
    result.lost += lost;
    result.doubled += doubled;
    result.wrongStamps += wrong;
  }
  return result;
}

std::vector<ReportRow> reportRows(const std::string& path) {
  const std::string text = readFile(path);
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> line;
  // Every field moves `at` on by at least its separator: bounded by the text.
  for (std::size_t at = 0; at < text.size();) {
    bool rowEnds = false;
    line.push_back(csvField(text, at, rowEnds));
    if (rowEnds) {
      lines.push_back(std::move(line));
      line.clear();
    }
  }
  std::vector<ReportRow> rows;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    ReportRow row;
    for (std::size_t column = 0; column < lines[0].size() && column < lines[i].size(); ++column) {
      row.emplace_back(lines[0][column], lines[i][column]);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string field(const ReportRow& row, const std::string& column) {
  for (const auto& [name, value] : row) {
    if (name == column) {
      return value;
    }
  }
  return "<no " + column + ">";
}

ReportRow lastRow(const std::vector<ReportRow>& rows, const std::string& account,
                  const std::string& folder) {
  ReportRow found;
  for (const ReportRow& row : rows) {
    if (field(row, "account") == account && field(row, "folder") == folder) {
      found = row;
    }
  }
  return found;
}

}  // namespace lodemig::testing
