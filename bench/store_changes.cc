#include "bench/store_changes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace lodemig::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kFlagLetters[] = "SAFD";

// New mail arrives on one day, a second apart.
std::string headerTime(int second) {
  char text[32];
  std::snprintf(text, sizeof text, "Tue Dec 7 10:%02d:%02d 2021", second / 60 % 60, second % 60);
  return text;
}

std::string nameTime(int second) {
  char text[32];
  std::snprintf(text, sizeof text, "20211207%02d%02d%02d", 10 + second / 3600 % 12,
                second / 60 % 60, second % 60);
  return text;
}

class WritableFile {
 public:
  WritableFile(const std::string& path, int flags) : path_(path) {
    fd_ = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      throw std::runtime_error("cannot write " + path);
    }
  }
  ~WritableFile() { ::close(fd_); }
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;

  void write(const std::string& bytes, uint64_t offset) {
    ssize_t done = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (done != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("cannot write " + path_);
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

std::string readAll(const std::string& path) {
  std::error_code error;
  const uint64_t size = fs::file_size(path, error);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (error || fd < 0) {
    if (fd >= 0) {
      ::close(fd);
    }
    throw std::runtime_error("cannot read " + path);
  }
  std::string text(size, '\0');
  ssize_t got = ::pread(fd, text.data(), text.size(), 0);
  ::close(fd);
  if (got != static_cast<ssize_t>(size)) {
    throw std::runtime_error("cannot read " + path);
  }
  return text;
}

// The places (from 0, below `count`) of the messages whose flags change:
// `wanted` steps over the folder, each taking the first message at or after
// a drawn place in its step whose letters `letters(i)` can change, or else
// the first such one not taken yet before it.
template <typename Letters>
std::vector<size_t> choose(size_t count, int wanted, Prng& prng, Letters letters) {
  std::vector<size_t> chosen;
  if (wanted <= 0 || count == 0) {
    return chosen;
  }
  const size_t step = std::max<size_t>(count / static_cast<size_t>(wanted), 1);
  size_t next = 0;  // no message is taken twice
  for (size_t k = 0; k < static_cast<size_t>(wanted); ++k) {
    size_t at = std::max(next, k * step + prng.below(static_cast<uint32_t>(step)));
    while (at < count && changedFlagLetters(letters(at)).empty()) {
      ++at;
    }
    // None after the drawn place: the first untaken one before it.
    for (size_t back = next; at >= count && back < std::min(count, k * step + step); ++back) {
      if (!changedFlagLetters(letters(back)).empty()) {
        at = back;
      }
    }
    if (at >= count) {
      break;
    }
    chosen.push_back(at);
    next = at + 1;
  }
  return chosen;
}

// Where the letters of message `index`'s header line lie: "From <...>(LETTERS-UID) ...".
std::pair<uint64_t, uint64_t> headerLetters(const std::string& file,
                                            const GeneratedAccount& account, size_t index) {
  const MessageSpan& span = account.spans[index];
  const uint64_t start =
      index == 0 ? 0 : account.spans[index - 1].offset + account.spans[index - 1].length + 2;
  const size_t open = file.find(">(", start);
  const size_t dash = file.find('-', open);
  if (open == std::string::npos || dash == std::string::npos || dash >= span.offset) {
    throw std::runtime_error("no header line before a message of " + account.inboxPath);
  }
  return {open + 2, dash - open - 2};
}

void changeMailboxFile(const StoreChangePlan& plan, size_t accountIndex, Prng& prng,
                       MessageFactory& factory, uint32_t* serial, StoreChanges* changes,
                       StoreManifest* manifest) {
  GeneratedAccount& account = manifest->accounts[accountIndex];
  const std::string file = readAll(account.inboxPath);
  const auto lettersOf = [&](size_t i) {
    const auto [at, length] = headerLetters(file, account, i);
    return file.substr(at, length);
  };
  {
    WritableFile out(account.inboxPath, 0);
    for (size_t i : choose(account.spans.size(), plan.flagsPerAccount, prng, lettersOf)) {
      const std::string before = lettersOf(i);
      const std::string after = changedFlagLetters(before);
      out.write(after, headerLetters(file, account, i).first);
      changes->flags.push_back({accountIndex, i, before, after});
    }
  }
  WritableFile out(account.inboxPath, 0);
  uint64_t position = file.size();
  std::string content;
  for (int j = 0; j < plan.newPerAccount; ++j) {
    const uint32_t size =
        std::max(factory.sampleSize(SizeProfile::kRealistic), MessageFactory::kMinSize);
    factory.build(size, ++*serial, &content);
    std::string header = position == 0 ? "" : "\r\n";
    header += "From <sender" + std::to_string(prng.below(5000)) + "@source.example>(-" +
              std::to_string(account.spans.size() + 1) + ") " + headerTime(j) + "\r\n";
    out.write(header + content, position);
    position += header.size();
    account.spans.push_back(MessageSpan{position, size});
    position += size;
    account.messages += 1;
    account.bytes += size;
    changes->newMessages += 1;
    changes->newBytes += size;
  }
}

void changeMessageDirectory(const StoreChangePlan& plan, size_t accountIndex, Prng& prng,
                            MessageFactory& factory, uint32_t* serial, StoreChanges* changes,
                            StoreManifest* manifest) {
  GeneratedAccount& account = manifest->accounts[accountIndex];
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(account.inboxPath)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  // "PREFIX-FLAGS-TIME-REST".
  const auto lettersOf = [&](size_t i) {
    const size_t first = names[i].find('-');
    return names[i].substr(first + 1, names[i].find('-', first + 1) - first - 1);
  };
  for (size_t i : choose(names.size(), plan.flagsPerAccount, prng, lettersOf)) {
    const std::string before = lettersOf(i);
    const std::string after = changedFlagLetters(before);
    const size_t first = names[i].find('-');
    const std::string renamed =
        names[i].substr(0, first + 1) + after + names[i].substr(first + 1 + before.size());
    const std::string from = account.inboxPath + "/" + names[i];
    const std::string to = account.inboxPath + "/" + renamed;
    if (::rename(from.c_str(), to.c_str()) != 0) {
      throw std::runtime_error("cannot rename " + from);
    }
    std::replace(manifest->messageFiles.begin(), manifest->messageFiles.end(), from, to);
    changes->flags.push_back({accountIndex, i, before, after});
  }
  std::string content;
  for (int j = 0; j < plan.newPerAccount; ++j) {
    const uint32_t size =
        std::max(factory.sampleSize(SizeProfile::kRealistic), MessageFactory::kMinSize);
    factory.build(size, ++*serial, &content);
    char name[96];
    std::snprintf(name, sizeof name, "%u.%06u--%s-bench", 1100000000u + *serial, *serial,
                  nameTime(j).c_str());
    const std::string path = account.inboxPath + "/" + name;
    WritableFile(path, O_CREAT | O_EXCL).write(content, 0);
    manifest->messageFiles.push_back(path);
    changes->newFiles.insert(path);
    account.messages += 1;
    account.bytes += size;
    changes->newMessages += 1;
    changes->newBytes += size;
  }
}

}  // namespace

std::string changedFlagLetters(const std::string& letters) {
  if (letters.empty()) {
    return "";
  }
  for (const char* letter = kFlagLetters; *letter != '\0'; ++letter) {
    if (letters.find(*letter) == std::string::npos) {
      return *letter + letters.substr(1);
    }
  }
  return "";
}

StoreChanges changeStore(const StoreChangePlan& plan, StoreManifest* manifest) {
  StoreChanges changes;
  Prng prng(plan.seed);
  MessageFactory factory(plan.seed ^ 0x2545f4914f6cdd1dULL);
  // The generator numbers messages from 1 across the store; new ones go on
  // from there, so that every Message-ID stays unique.
  uint32_t serial = static_cast<uint32_t>(manifest->messages);
  for (size_t i = 0; i < manifest->accounts.size(); ++i) {
    const GeneratedAccount& account = manifest->accounts[i];
    changes.mailboxMessagesBefore.push_back(account.spans.size());
    const uint64_t messagesBefore = account.messages;
    const uint64_t bytesBefore = account.bytes;
    if (account.layout == AccountLayout::kMessageDirectory) {
      changeMessageDirectory(plan, i, prng, factory, &serial, &changes, manifest);
    } else {
      changeMailboxFile(plan, i, prng, factory, &serial, &changes, manifest);
    }
    manifest->messages += account.messages - messagesBefore;
    manifest->bytes += account.bytes - bytesBefore;
  }
  return changes;
}

StoreManifest copyStore(const StoreManifest& manifest, const std::string& root) {
  fs::remove_all(root);
  fs::copy(manifest.root, root, fs::copy_options::recursive);
  StoreManifest copy = manifest;
  const auto rebase = [&](std::string& path) { path = root + path.substr(manifest.root.size()); };
  rebase(copy.root);
  for (GeneratedAccount& account : copy.accounts) {
    rebase(account.domainPath);
    rebase(account.inboxPath);
  }
  for (std::string& path : copy.messageFiles) {
    rebase(path);
  }
  for (std::string& path : copy.settingsFiles) {
    rebase(path);
  }
  return copy;
}

std::string expectedDigestAfter(const target::StoreDigest& before, const StoreManifest& manifest,
                                const StoreChanges& changes) {
  target::StoreDigest digest = before;
  foldMessages(
      manifest,
      [&changes](const MessagePlace& place) {
        return place.path.empty() ? place.index >= changes.mailboxMessagesBefore[place.account]
                                  : changes.newFiles.count(place.path) > 0;
      },
      &digest);
  return digest.hex();
}

}  // namespace lodemig::bench
