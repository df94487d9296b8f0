#include "dav/dav_export.h"

#include <memory>
#include <set>
#include <vector>

#include "dav/ical_text.h"
#include "imap/digest.h"
#include "utils/ql_exception.h"
#include "utils/staged_file.h"

namespace lodemig {
namespace {

// Beyond this a level is cut and told apart by a digest: file systems stop
// at 255 bytes a name, and the extension and temporary suffix need room.
constexpr std::size_t kMaxLevel = 200;

// Bytes a file name cannot hold, or that would make a level mean something
// else to a shell or another system, are written as "%XX"; '%' itself too,
// so that two folder names never meet in one file name.
bool needsEscape(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '%';
}

std::string safeLevel(const std::string& level) {
  if (level.empty()) {
    return "%";
  }
  if (level == "." || level == "..") {
    return level == "." ? "%2E" : "%2E%2E";
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string safe;
  for (const char c : level) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (needsEscape(byte)) {
      safe += '%';
      safe += kHex[byte >> 4];
      safe += kHex[byte & 0x0F];
    } else {
      safe += c;
    }
  }
  if (safe.size() > kMaxLevel) {
    safe = safe.substr(0, kMaxLevel - 17) + "~" + ostrel::crypto::sha256Hex(level).substr(0, 16);
  }
  return safe;
}

std::vector<std::string> folderLevels(const std::string& folder) {
  std::vector<std::string> levels;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = folder.find('/', start);
    levels.push_back(safeLevel(folder.substr(start, slash - start)));
    if (slash == std::string::npos) {
      return levels;
    }
    start = slash + 1;
  }
}

}  // namespace

struct DavExport::Open {
  ostrel::utils::StagedFile file;
  DavKind kind = DavKind::Calendar;
  std::size_t items = 0;
  std::set<std::string> timezones;  // the TZIDs written so far

  [[noreturn]] void fail() {
    const bool atFile = file.failedPath().rfind(file.path(), 0) == 0;
    QLStoreException error((atFile ? "cannot write file " : "cannot make directory ") +
                           file.failedPath() + ": " + file.failure());
    error.setCause(file.failure());
    throw error;
  }

  void write(std::string_view bytes) {
    if (!file.write(bytes)) {
      fail();
    }
  }

  // An item's components into the one VCALENDAR of the file, each
  // VTIMEZONE the first time its TZID comes, the item's own calendar
  // properties left out (the file has its own).
  void addCalendar(const DavItem& item) {
    const std::vector<ContentLine> lines = contentLines(item.text);
    std::vector<TextObject> calendars;
    if (!scanObjects(lines, "VCALENDAR", calendars).empty()) {
      throw QLStoreException("cannot write file " + file.path() + ": item " + item.uid +
                             " is no calendar");
    }
    std::string text;
    for (const TextObject& calendar : calendars) {
      for (const SubComponent& component : calendar.components) {
        if (component.type == "VTIMEZONE" && !timezones.insert(component.tzid).second) {
          continue;
        }
        for (std::size_t i = component.begin; i <= component.end; ++i) {
          text += lines[i].written;
        }
      }
    }
    write(text);
  }
};

DavExport::DavExport(std::string directory) : directory_(std::move(directory)) {}

DavExport::~DavExport() = default;

void DavExport::beginFolder(const std::string& domain, const std::string& user,
                            const std::string& folder, DavKind kind) {
  open_.reset();
  auto open = std::make_unique<Open>();
  open->kind = kind;
  std::vector<std::string> levels = folderLevels(folder);
  const std::string name = levels.back() + (kind == DavKind::Calendar ? ".ics" : ".vcf");
  levels.pop_back();
  levels.insert(levels.begin(), {safeLevel(domain), safeLevel(user)});
  if (!open->file.open(directory_, levels, name, 0600)) {
    open->fail();
  }
  open_ = std::move(open);
}

void DavExport::add(const DavItem& item) {
  if (open_ == nullptr) {
    throw QLStoreException("cannot export item " + item.uid + ": no folder begun");
  }
  if (open_->kind == DavKind::AddressBook) {
    open_->write(item.text);
  } else {
    if (open_->items == 0) {
      open_->write("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//lodemig//export//EN\r\n");
    }
    open_->addCalendar(item);
  }
  ++open_->items;
}

std::string DavExport::endFolder() {
  if (open_ == nullptr) {
    return std::string();
  }
  std::unique_ptr<Open> open = std::move(open_);
  if (open->items == 0) {
    open->file.discard();
    return std::string();
  }
  if (open->kind == DavKind::Calendar) {
    open->write("END:VCALENDAR\r\n");
  }
  if (!open->file.commit()) {
    open->fail();
  }
  return open->file.path();
}

}  // namespace lodemig
