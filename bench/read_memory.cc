// Writes one large message into a temporary mailbox file, reads it back the
// way a migration does (content size with line ends fixed, then every piece)
// and prints how much the peak resident memory grew meanwhile. The reader
// streams content in pieces, so the growth must stay small whatever the size.
//
// Usage: lodemig-read-memory [megabytes]   (default 200)

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <sstream>
#include <string>

#include "store/folder.h"
#include "store/message.h"

namespace {

long peakResidentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t count = ::write(fd, data.data() + done, data.size() - done);
    if (count <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  return true;
}

// Writes "<dir>/bench.mbox": one header line, then `bytes` of 76-byte text
// lines ending in a bare LF. Returns how many of those LFs the reader turns
// into CR LF, or -1.
std::int64_t writeMailbox(const std::string& dir, std::uint64_t bytes) {
  std::string path = dir + "/bench.mbox";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return -1;
  }
  std::string line =
      "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tem\n";
  std::string block;
  while (block.size() + line.size() <= 64 * 1024) {
    block += line;
  }
  bool ok = writeAll(fileno(file), "From <bench@example.com>(S-1) Wed Jun 30 21:49:08 1993\r\n");
  std::int64_t lineFeeds = 0;
  for (std::uint64_t written = 0; ok && written < bytes;) {
    std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - written));
    ok = writeAll(fileno(file), block.substr(0, take));
    for (std::size_t i = 0; i < take; ++i) {
      // An LF that opens a piece stays as it is.
      lineFeeds += block[i] == '\n' && (written + i) % lodemig::Message::kPieceSize != 0 ? 1 : 0;
    }
    written += take;
  }
  ok = std::fclose(file) == 0 && ok;
  return ok ? lineFeeds : -1;
}

int run(const std::string& dir, std::uint64_t bytes) {
  std::int64_t lineFeeds = writeMailbox(dir, bytes);
  if (lineFeeds < 0) {
    std::fprintf(stderr, "cannot write the mailbox file in %s\n", dir.c_str());
    return 1;
  }
  std::ostringstream log;
  lodemig::Folder folder(&log);
  folder.assign("INBOX", dir, lodemig::MailboxFile);
  lodemig::Message message(&folder);

  long before = peakResidentKilobytes();
  auto start = std::chrono::steady_clock::now();
  folder.open("bench");
  if (!folder.firstMessage(message)) {
    std::fprintf(stderr, "no message found\n");
    return 1;
  }
  std::uint32_t announced = message.contentSize();
  std::uint64_t delivered = 0;
  std::string piece;
  for (bool more = message.firstChunk(piece); more; more = message.nextChunk(piece)) {
    delivered += piece.size();
  }
  folder.close();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long growth = peakResidentKilobytes() - before;

  std::uint64_t expected = bytes + static_cast<std::uint64_t>(lineFeeds);
  std::printf("message: %llu bytes stored, content size %u, delivered %llu bytes in %.2f s\n",
              static_cast<unsigned long long>(message.storedSize()), announced,
              static_cast<unsigned long long>(delivered), seconds);
  std::printf("peak resident memory growth: %ld KB\n", growth);
  std::fflush(stdout);
  if (announced != expected || delivered != expected) {
    std::fprintf(stderr, "size mismatch: expected %llu\n",
                 static_cast<unsigned long long>(expected));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200;
  if (megabytes == 0 || megabytes >= 4000) {
    std::fprintf(stderr, "usage: lodemig-read-memory [megabytes below 4000]\n");
    return 2;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "lodemig-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  int status = 1;
  try {
    status = run(pattern, megabytes * 1024 * 1024);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
  }
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return status;
}
