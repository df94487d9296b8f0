#include "bench/store_generator.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

#include "target/content_digest.h"

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

const char* const kWords[] = {
    "the",     "meeting",  "report",    "quarter",  "please",   "review",   "attached", "budget",
    "project", "schedule", "thanks",    "regards",  "customer", "order",    "delivery", "invoice",
    "update",  "team",     "office",    "tomorrow", "morning",  "agenda",   "minutes",  "contract",
    "draft",   "final",    "version",   "support",  "ticket",   "server",   "backup",   "weekend",
    "holiday", "travel",   "hotel",     "flight",   "results",  "numbers",  "sales",    "market",
    "product", "launch",   "and",       "of",       "to",       "for",      "with",     "on",
    "in",      "we",       "you",       "our",      "your",     "will",     "can",      "should",
    "next",    "last",     "week",      "month",    "year",     "question", "answer",   "call",
    "me",      "when",     "ready",     "about",    "new",      "old",      "price",    "list",
    "change",  "request",  "approved",  "pending",  "note",     "issue",    "fixed",    "open",
    "closed",  "status",   "follow-up", "reminder",
};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint32_t kLargeMessage = 16384;

struct Instant {
  int year, month, day, hour, minute, second, weekday;
};

Instant randomInstant(Prng& prng) {
  Instant t{};
  t.year = 2003 + static_cast<int>(prng.below(10));
  t.month = 1 + static_cast<int>(prng.below(12));
  t.day = 1 + static_cast<int>(prng.below(28));
  t.hour = static_cast<int>(prng.below(24));
  t.minute = static_cast<int>(prng.below(60));
  t.second = static_cast<int>(prng.below(60));
  // Days since 1970-01-01 by the civil-from-days inverse; 1970-01-01 was a Thursday.
  int y = t.year - (t.month <= 2 ? 1 : 0);
  int era = y / 400;
  int yoe = y - era * 400;
  int doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  long days = static_cast<long>(era) * 146097 + doe - 719468;
  t.weekday = static_cast<int>((days + 4) % 7);
  return t;
}

std::string flagLetters(Prng& prng) {
  std::string letters;
  if (prng.below(100) < 80)
    letters += 'S';
  if (prng.below(100) < 20)
    letters += 'A';
  if (prng.below(100) < 10)
    letters += 'F';
  if (prng.below(100) < 3)
    letters += 'D';
  return letters;
}

// Both timestamp forms of mailbox header lines occur in real stores.
std::string headerTimestamp(const Instant& t, bool numeric) {
  char text[64];
  if (numeric) {
    std::snprintf(text, sizeof text, "%d-%d-%d_%d:%02d:%02d_", t.day, t.month, t.year, t.hour,
                  t.minute, t.second);
  } else {
    std::snprintf(text, sizeof text, "%s %s %d %02d:%02d:%02d %d", kWeekdays[t.weekday],
                  kMonths[t.month - 1], t.day, t.hour, t.minute, t.second, t.year);
  }
  return text;
}

std::string nameTimestamp(const Instant& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string settingsText(int index) {
  char text[256];
  // Every fifth account keeps its password in a form the tool cannot use, so
  // that provisioning also generates passwords.
  if (index % 5 == 4) {
    std::snprintf(text, sizeof text,
                  "{\r\n  RealName = \"Bench User %d\";\r\n  PasswordEncryption = \"digest\";\r\n"
                  "  Password = \"5f4dcc3b5aa765d61d8327deb882cf99\";\r\n}\r\n",
                  index);
  } else {
    std::snprintf(text, sizeof text,
                  "{\r\n  RealName = \"Bench User %d\";\r\n  Password = \"pw%d\";\r\n}\r\n", index,
                  index);
  }
  return text;
}

std::string infoText(uint64_t messages, uint64_t bytes, bool extraFolders) {
  std::string text = "{\r\n  #StorageUsed = #" + std::to_string(bytes) +
                     ";\r\n  INBOX = {\r\n    Class = IPF.Note;\r\n    Messages = #" +
                     std::to_string(messages) + ";\r\n    Size = #" + std::to_string(bytes) +
                     ";\r\n  };\r\n";
  if (extraFolders) {
    text +=
        "  \"Sent Items\" = {\r\n    Class = IPF.Note;\r\n    Messages = #0;\r\n    Size = #0;\r\n"
        "  };\r\n  Drafts = {\r\n    Class = IPF.Note;\r\n    Messages = #0;\r\n  };\r\n"
        "  Calendar = {\r\n    Class = IPF.Appointment;\r\n    Messages = #0;\r\n  };\r\n"
        "  Contacts = {\r\n    Class = IPF.Contact;\r\n    Messages = #0;\r\n  };\r\n"
        "  \"Archive/2007\" = {\r\n    Class = IPF.Note;\r\n    Messages = #0;\r\n  };\r\n";
  }
  text += "}\r\n";
  return text;
}

class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) {
      throw std::runtime_error("cannot read " + path);
    }
  }
  ~ReadOnlyFile() { ::close(fd_); }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Feeds `length` bytes from `offset` (or up to the end when length is -1) to `digest`.
  void hashRange(target::ContentDigest& digest, uint64_t offset, uint64_t length,
                 std::vector<char>& buffer) {
    uint64_t done = 0;
    while (done < length) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - done));
      ssize_t got = ::pread(fd_, buffer.data(), want, static_cast<off_t>(offset + done));
      if (got < 0) {
        throw std::runtime_error("read error while hashing the store");
      }
      if (got == 0) {
        if (length == UINT64_MAX) {
          return;
        }
        throw std::runtime_error("store file shorter than its manifest");
      }
      digest.update(buffer.data(), static_cast<size_t>(got));
      done += static_cast<uint64_t>(got);
    }
  }

 private:
  int fd_;
};

// Entry names of `path` in the order the platform lists them, with their types.
std::vector<std::pair<std::string, unsigned char>> listDirectory(const std::string& path) {
  std::vector<std::pair<std::string, unsigned char>> entries;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    return entries;
  }
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      entries.emplace_back(name, entry->d_type);
    }
  }
  ::closedir(dir);
  return entries;
}

}  // namespace

MessageFactory::MessageFactory(uint64_t seed) : prng_(seed) {
  const uint32_t wordCount = sizeof kWords / sizeof kWords[0];
  for (int i = 0; i < 2048; ++i) {
    std::string line;
    uint32_t width = 48 + prng_.below(28);
    while (line.size() < width) {
      if (!line.empty()) {
        line += ' ';
      }
      line += kWords[prng_.below(wordCount)];
    }
    line[0] = static_cast<char>(line[0] - 'a' + 'A');
    textLines_.push_back(line);
  }
  for (int i = 0; i < 512; ++i) {
    std::string line(76, 'A');
    for (char& c : line) {
      c = kBase64Alphabet[prng_.below(64)];
    }
    base64Lines_.push_back(line);
  }
}

uint32_t MessageFactory::sampleSize(SizeProfile profile) {
  switch (profile) {
    case SizeProfile::kOneMebibyte:
      return 1048576;
    case SizeProfile::kSmall: {
      double size = 2048.0 * std::exp(0.3 * prng_.normal());
      return static_cast<uint32_t>(std::clamp(size, 1024.0, 8192.0));
    }
    case SizeProfile::kRealistic:
      break;
  }
  // One message in a hundred carries an attachment: log-uniform from 16 KB to
  // 200 KB. The rest is log-normal around 4 KB.
  if (prng_.below(100) == 0) {
    double low = std::log(16384.0);
    double high = std::log(204800.0);
    return static_cast<uint32_t>(std::exp(low + prng_.unit() * (high - low)));
  }
  double size = 4000.0 * std::exp(0.55 * prng_.normal());
  return static_cast<uint32_t>(std::clamp(size, static_cast<double>(kMinSize), 65536.0));
}

void MessageFactory::build(uint32_t size, uint32_t serial, std::string* out) {
  size = std::max(size, kMinSize);
  out->clear();
  out->reserve(size);
  Instant t = randomInstant(prng_);
  uint32_t sender = prng_.below(5000);
  char text[512];
  std::snprintf(text, sizeof text,
                "Return-Path: <sender%u@source.example>\r\n"
                "Message-ID: <%u.%u.bench@source.example>\r\n"
                "Date: %s, %d %s %d %02d:%02d:%02d +0000\r\n"
                "From: \"Sender %u\" <sender%u@source.example>\r\n"
                "To: <bench@bench.example>\r\n",
                sender, serial, sender, kWeekdays[t.weekday], t.day, kMonths[t.month - 1], t.year,
                t.hour, t.minute, t.second, sender, sender);
  out->append(text);
  const std::string& subject = textLines_[prng_.below(2048)];
  out->append("Subject: ").append(subject, 0, 40).append("\r\nMIME-Version: 1.0\r\n");

  const bool large = size >= kLargeMessage;
  std::string trailer;
  if (large) {
    std::snprintf(text, sizeof text,
                  "Content-Type: multipart/mixed; boundary=\"=_bench_%u\"\r\n\r\n"
                  "--=_bench_%u\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n",
                  serial, serial);
    out->append(text);
    for (int i = 0; i < 8; ++i) {
      out->append(textLines_[prng_.below(2048)]).append("\r\n");
    }
    std::snprintf(
        text, sizeof text,
        "\r\n--=_bench_%u\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n",
        serial);
    out->append(text);
    trailer = "--=_bench_" + std::to_string(serial) + "--\r\n";
  } else {
    out->append("Content-Type: text/plain; charset=us-ascii\r\n\r\n");
  }
  if (out->size() + trailer.size() + 2 > size) {
    throw std::logic_error("message headers exceed the minimum message size");
  }

  // Fill with whole lines so every line ends in CR LF; a remainder of one byte
  // cannot form a line, so the line before it takes that byte.
  const std::vector<std::string>& pool = large ? base64Lines_ : textLines_;
  size_t remaining = size - out->size() - trailer.size();
  while (remaining > 0) {
    const std::string& line = pool[prng_.below(static_cast<uint32_t>(pool.size()))];
    size_t take = std::min(line.size(), remaining - 2);
    if (remaining - take - 2 == 1) {
      ++take;
    }
    out->append(line, 0, std::min(take, line.size()));
    if (take > line.size()) {
      out->push_back('.');
    }
    out->append("\r\n");
    remaining -= take + 2;
  }
  out->append(trailer);
}

StoreManifest generateStore(const StorePlan& plan, const std::string& root) {
  if (plan.layouts.empty() || plan.accounts < 0 || plan.messagesPerAccount < 0 ||
      plan.extraDomains < 0) {
    throw std::invalid_argument("invalid store plan");
  }
  StoreManifest manifest;
  manifest.root = root;
  std::error_code error;
  fs::create_directories(root + "/Accounts", error);
  if (error) {
    throw std::runtime_error("cannot create " + root + "/Accounts: " + error.message());
  }
  std::vector<std::string> domainPaths{root + "/Accounts"};
  for (int k = 1; k <= plan.extraDomains; ++k) {
    domainPaths.push_back(root + "/Domains/d" + std::to_string(k) + ".example");
    fs::create_directories(domainPaths.back(), error);
    if (error) {
      throw std::runtime_error("cannot create " + domainPaths.back() + ": " + error.message());
    }
  }

  MessageFactory factory(plan.seed);
  Prng meta(plan.seed ^ 0x5bd1e9955bd1e995ULL);
  std::vector<uint32_t> sizes;
  std::string content;
  uint32_t serial = 0;
  for (int i = 0; i < plan.accounts; ++i) {
    GeneratedAccount account;
    account.domainPath = domainPaths[static_cast<size_t>(i % (plan.extraDomains + 1))];
    account.layout = plan.layouts[static_cast<size_t>(i) % plan.layouts.size()];
    char name[32];
    std::snprintf(name, sizeof name, "user%05d", i);
    const std::string base = account.domainPath + "/" + name;
    std::string settingsPath = base + ".settings";
    std::string infoPath = base + ".info";
    switch (account.layout) {
      case AccountLayout::kMailboxFile:
        account.entryName = std::string(name) + ".mbox";
        account.inboxPath = base + ".mbox";
        break;
      case AccountLayout::kAccountDirectory:
        account.entryName = std::string(name) + ".macnt";
        account.inboxPath = base + ".macnt/INBOX.mbox";
        settingsPath = base + ".macnt/account.settings";
        infoPath = base + ".macnt/account.info";
        fs::create_directories(base + ".macnt", error);
        break;
      case AccountLayout::kMessageDirectory:
        account.entryName = std::string(name) + ".mdir";
        account.inboxPath = base + ".mdir";
        fs::create_directories(account.inboxPath, error);
        break;
    }
    if (error) {
      throw std::runtime_error("cannot create the account " + base + ": " + error.message());
    }

    if (account.layout == AccountLayout::kMessageDirectory) {
      for (int j = 0; j < plan.messagesPerAccount; ++j) {
        uint32_t size = std::max(factory.sampleSize(plan.sizes), MessageFactory::kMinSize);
        factory.build(size, ++serial, &content);
        Instant t = randomInstant(meta);
        char fileName[96];
        std::snprintf(fileName, sizeof fileName, "%u.%06u-%s-%s-bench", 1100000000u + serial,
                      serial, flagLetters(meta).c_str(), nameTimestamp(t).c_str());
        std::string path = account.inboxPath + "/" + fileName;
        writeFile(path, content);
        manifest.messageFiles.push_back(path);
        sizes.push_back(size);
        account.messages += 1;
        account.bytes += size;
      }
    } else {
      std::ofstream out(account.inboxPath, std::ios::binary | std::ios::trunc);
      uint64_t position = 0;
      for (int j = 0; j < plan.messagesPerAccount; ++j) {
        uint32_t size = std::max(factory.sampleSize(plan.sizes), MessageFactory::kMinSize);
        factory.build(size, ++serial, &content);
        Instant t = randomInstant(meta);
        std::string header = "From <sender" + std::to_string(meta.below(5000)) +
                             "@source.example>(" + flagLetters(meta) + "-" + std::to_string(j + 1) +
                             ") " + headerTimestamp(t, meta.below(4) == 0) + "\r\n";
        // The empty line before each further header separates the messages;
        // the reader leaves its two bytes out of both.
        if (j > 0) {
          out.write("\r\n", 2);
          position += 2;
        }
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
        position += header.size();
        account.spans.push_back(MessageSpan{position, size});
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        position += content.size();
        sizes.push_back(size);
        account.messages += 1;
        account.bytes += size;
      }
      out.close();
      if (!out) {
        throw std::runtime_error("cannot write " + account.inboxPath);
      }
      manifest.messageFiles.push_back(account.inboxPath);
    }
    writeFile(settingsPath, settingsText(i));
    writeFile(infoPath, infoText(account.messages, account.bytes, plan.extraFolders));
    manifest.settingsFiles.push_back(settingsPath);
    manifest.settingsFiles.push_back(infoPath);
    manifest.messages += account.messages;
    manifest.bytes += account.bytes;
    manifest.accounts.push_back(std::move(account));
  }

  if (!sizes.empty()) {
    auto middle = sizes.begin() + static_cast<long>(sizes.size() / 2);
    std::nth_element(sizes.begin(), middle, sizes.end());
    manifest.medianSize = *middle;
    manifest.maxSize = *std::max_element(sizes.begin(), sizes.end());
  }
  return manifest;
}

namespace {

// Digests every message of the manifest's accounts in walk order, each on
// its own: `message(place, digest)` for each.
template <typename Visit>
void digestMessages(const StoreManifest& manifest, Visit message) {
  std::map<std::pair<std::string, std::string>, size_t> byEntry;
  for (size_t i = 0; i < manifest.accounts.size(); ++i) {
    byEntry[{manifest.accounts[i].domainPath, manifest.accounts[i].entryName}] = i;
  }
  std::vector<std::string> domains{manifest.root + "/Accounts"};
  for (const auto& [name, type] : listDirectory(manifest.root + "/Domains")) {
    if (type == DT_DIR) {
      domains.push_back(manifest.root + "/Domains/" + name);
    }
  }

  target::ContentDigest digest;
  std::vector<char> buffer(1 << 16);
  for (const std::string& domain : domains) {
    for (const auto& entry : listDirectory(domain)) {
      auto found = byEntry.find({domain, entry.first});
      if (found == byEntry.end()) {
        continue;
      }
      MessagePlace place;
      place.account = found->second;
      const GeneratedAccount& account = manifest.accounts[place.account];
      if (account.layout == AccountLayout::kMessageDirectory) {
        for (const auto& [name, type] : listDirectory(account.inboxPath)) {
          if (type == DT_REG) {
            place.path = account.inboxPath + "/" + name;
            digest.reset();
            ReadOnlyFile(place.path).hashRange(digest, 0, UINT64_MAX, buffer);
            message(place, digest);
            ++place.index;
          }
        }
      } else {
        ReadOnlyFile file(account.inboxPath);
        for (const MessageSpan& span : account.spans) {
          digest.reset();
          file.hashRange(digest, span.offset, span.length, buffer);
          message(place, digest);
          ++place.index;
        }
      }
    }
  }
}

}  // namespace

std::string expectedDigest(const StoreManifest& manifest) {
  // The same digest as the target's summary line: each message digested on
  // its own, then folded in walk order.
  target::StoreDigest digest;
  foldMessages(
      manifest, [](const MessagePlace&) { return true; }, &digest);
  return digest.hex();
}

void foldMessages(const StoreManifest& manifest,
                  const std::function<bool(const MessagePlace&)>& include,
                  target::StoreDigest* digest) {
  digestMessages(manifest, [&](const MessagePlace& place, const target::ContentDigest& message) {
    if (include(place)) {
      digest->add(message);
    }
  });
}

std::string expectedAccountsDigest(const StoreManifest& manifest) {
  std::map<size_t, target::StoreDigest> accounts;
  digestMessages(manifest, [&](const MessagePlace& place, const target::ContentDigest& message) {
    accounts[place.account].add(message);
  });
  target::AccountsDigest digest;
  for (const auto& [account, messages] : accounts) {
    digest.add(messages);
  }
  return digest.hex();
}

}  // namespace lodemig::bench
