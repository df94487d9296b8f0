#include "dav/dav_item.h"

#include <map>
#include <set>

#include "dav/ical_text.h"
#include "dav/mime_body.h"
#include "imap/digest.h"

namespace lodemig {
namespace {

using ostrel::crypto::sha256Hex;

// Longer UIDs are named by their digest: a resource name becomes a file name
// on many servers, and those stop at 255 bytes.
constexpr std::size_t kMaxPlainName = 200;

// The same message and place give the same UID in every run, so a re-run
// finds the item it stored before under the same name.
std::string derivedUid(const std::string& seed, std::size_t index) {
  return "lodemig-" + sha256Hex(seed + "/" + std::to_string(index)).substr(0, 32);
}

std::string uidOf(const std::vector<ContentLine>& lines, std::size_t uidLine) {
  return uidLine == std::string::npos ? std::string()
                                      : std::string(trimBlanks(lines[uidLine].value()));
}

// The lines [begin, end] with "UID:<uid>" after line `after` when the UID is
// derived; an empty UID line the object had is then left out.
std::string withUid(const std::vector<ContentLine>& lines, std::size_t begin, std::size_t end,
                    std::size_t after, std::size_t uidLine, const DavItem& item) {
  std::string text;
  for (std::size_t i = begin; i <= end; ++i) {
    if (!(item.uidDerived && i == uidLine)) {
      text += lines[i].written;
    }
    if (item.uidDerived && i == after) {
      text += "UID:" + item.uid + "\r\n";
    }
  }
  return text;
}

// One item of a calendar message while it is put together: components of
// one UID, possibly from several VCALENDARs of the message.
struct CalendarItem {
  DavItem item;
  std::string head;  // BEGIN:VCALENDAR and the calendar's properties
  std::string tail;  // END:VCALENDAR
  std::set<std::string> tzids;
  std::string timezones;
  std::string components;
};

// The VTIMEZONEs of a calendar by TZID (the first of a TZID counts).
using Timezones = std::map<std::string, const SubComponent*>;

Timezones timezonesOf(const TextObject& calendar) {
  Timezones timezones;
  for (const SubComponent& component : calendar.components) {
    if (component.type == "VTIMEZONE") {
      timezones.emplace(component.tzid, &component);
    }
  }
  return timezones;
}

// The VTIMEZONEs `component` names that `item` does not hold yet, as the
// calendar has them.
void addTimezones(const std::vector<ContentLine>& lines, const Timezones& timezones,
                  const SubComponent& component, CalendarItem& item) {
  for (const std::string& tzid : component.tzidsUsed) {
    const auto found = timezones.find(tzid);
    if (found == timezones.end() || !item.tzids.insert(tzid).second) {
      continue;
    }
    for (std::size_t i = found->second->begin; i <= found->second->end; ++i) {
      item.timezones += lines[i].written;
    }
  }
}

std::string calendarHead(const std::vector<ContentLine>& lines, const TextObject& calendar) {
  // A METHOD makes the object an iTIP message, which a calendar collection
  // does not take.
  std::string head = lines[calendar.begin].written;
  for (const std::size_t property : calendar.properties) {
    if (lines[property].name != "METHOD") {
      head += lines[property].written;
    }
  }
  return head;
}

// Splits the VCALENDARs of a body into one item per UID.
std::string splitCalendars(std::string_view body, const std::string& seed,
                           std::vector<DavItem>& out) {
  const std::vector<ContentLine> lines = contentLines(body);
  std::vector<TextObject> calendars;
  std::string error = scanObjects(lines, "VCALENDAR", calendars);
  if (!error.empty()) {
    return error;
  }
  std::vector<CalendarItem> items;
  std::map<std::string, std::size_t> byUid;
  std::size_t index = 0;
  for (const TextObject& calendar : calendars) {
    const Timezones timezones = timezonesOf(calendar);
    std::size_t found = 0;
    for (const SubComponent& component : calendar.components) {
      if (component.type == "VTIMEZONE") {
        continue;
      }
      ++found;
      DavItem item;
      item.uid = uidOf(lines, component.uidLine);
      item.uidDerived = item.uid.empty();
      if (item.uidDerived) {
        item.uid = derivedUid(seed, index);
      }
      ++index;
      auto [place, added] = byUid.emplace(item.uid, items.size());
      if (added) {
        items.push_back(CalendarItem{
            item, calendarHead(lines, calendar), lines[calendar.end].written, {}, {}, {}});
      }
      CalendarItem& target = items[place->second];
      target.components +=
          withUid(lines, component.begin, component.end, component.begin, component.uidLine, item);
      target.item.uidDerived = target.item.uidDerived || item.uidDerived;
      addTimezones(lines, timezones, component, target);
    }
    if (found == 0) {
      return "no VEVENT, VTODO, VJOURNAL or VFREEBUSY in the VCALENDAR at line " +
             std::to_string(lines[calendar.begin].number);
    }
  }
  for (CalendarItem& built : items) {
    built.item.text = built.head + built.timezones + built.components + built.tail;
    built.item.name = davResourceName(built.item.uid, DavKind::Calendar);
    out.push_back(std::move(built.item));
  }
  return std::string();
}

// Each VCARD of a body is an item.
std::string splitCards(std::string_view body, const std::string& seed, std::vector<DavItem>& out) {
  const std::vector<ContentLine> lines = contentLines(body);
  std::vector<TextObject> cards;
  std::string error = scanObjects(lines, "VCARD", cards);
  if (!error.empty()) {
    return error;
  }
  for (std::size_t index = 0; index < cards.size(); ++index) {
    const TextObject& card = cards[index];
    DavItem item;
    item.uid = uidOf(lines, card.uidLine);
    item.uidDerived = item.uid.empty();
    if (item.uidDerived) {
      item.uid = derivedUid(seed, index);
    }
    // The UID goes after VERSION, which vCard 3.0 wants right after BEGIN.
    const std::size_t after = card.versionLine != std::string::npos ? card.versionLine : card.begin;
    item.text = withUid(lines, card.begin, card.end, after, card.uidLine, item);
    item.name = davResourceName(item.uid, DavKind::AddressBook);
    out.push_back(std::move(item));
  }
  return std::string();
}

bool safeNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '@';
}

}  // namespace

bool davKindOf(FolderType type, DavKind& kind) {
  switch (type) {
    case kFolderTypeContacts:
      kind = DavKind::AddressBook;
      return true;
    case kFolderTypeCalendar:
    case kFolderTypeTasks:
    case kFolderTypeJournal:
      kind = DavKind::Calendar;
      return true;
    default:
      return false;
  }
}

DavItems davItemsOf(std::string_view message, DavKind kind, const std::string& seed) {
  const bool calendar = kind == DavKind::Calendar;
  static const std::vector<std::string> kCalendarTypes = {"text/calendar", "application/ics",
                                                          "text/x-vcalendar"};
  static const std::vector<std::string> kCardTypes = {"text/vcard", "text/x-vcard",
                                                      "text/directory"};
  DavItems result;
  std::string body;
  result.error = findMimeBody(message, calendar ? kCalendarTypes : kCardTypes,
                              calendar ? "BEGIN:VCALENDAR" : "BEGIN:VCARD", body);
  if (result.error.empty()) {
    result.error =
        calendar ? splitCalendars(body, seed, result.items) : splitCards(body, seed, result.items);
  }
  if (!result.error.empty()) {
    result.items.clear();
  }
  return result;
}

std::string davResourceName(const std::string& uid, DavKind kind) {
  const char* extension = kind == DavKind::Calendar ? ".ics" : ".vcf";
  bool plain = !uid.empty() && uid != "." && uid != ".." && uid.size() <= kMaxPlainName;
  for (std::size_t i = 0; plain && i < uid.size(); ++i) {
    plain = safeNameCharacter(uid[i]);
  }
  return (plain ? uid : sha256Hex(uid)) + extension;
}

std::string davItemDigest(const DavItem& item) {
  return sha256Hex(item.text);
}

}  // namespace lodemig
