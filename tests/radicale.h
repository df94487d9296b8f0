#ifndef LODEMIG_TESTS_RADICALE_H_
#define LODEMIG_TESTS_RADICALE_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/temp_dir.h"

namespace lodemig::testing {

// How a private Radicale instance is set up.
struct RadicaleOptions {
  // Accounts and their passwords (an htpasswd file in plain text, which
  // Radicale reads without extra modules). Names may hold "@" and ".".
  std::vector<std::pair<std::string, std::string>> users = {{"tester", "secret"}};
  // With both: https only, with this certificate and key.
  std::string tlsCert;
  std::string tlsKey;
};

// A collection as Radicale keeps it on disk: a directory under
// storage/collection-root/USER/ with its properties in .Radicale.props
// and one file per item.
struct RadicaleCollection {
  std::string path;                // the directory's name: the URL's last level, decoded
  std::string tag;                 // "VCALENDAR", "VADDRESSBOOK", "" for a plain collection
  std::string displayName;         // "" when it has none
  std::string components;          // a calendar's component set, "VEVENT,VTODO"; "" when none
  std::vector<std::string> items;  // the item files' names, sorted
};

// A Radicale server in the foreground with a configuration of its own in
// `dir` (config, users, storage/, radicale.log) on a free loopback port:
// every user owns /USER/ and what is below it and nothing else, requests
// without a valid login get 401. Stopped by PID (SIGTERM, then SIGKILL after
// a few seconds) and reaped when destroyed, and killed by the kernel should
// the test process die. `dir` must outlive it.
class Radicale {
 public:
  static constexpr char kRadicale[] = "/usr/bin/radicale";
  // True when Radicale can run here; otherwise `why` says what is missing.
  static bool available(std::string* why = nullptr);

  explicit Radicale(const ScopedTempDir& dir, const RadicaleOptions& options = RadicaleOptions());
  ~Radicale();
  Radicale(const Radicale&) = delete;
  Radicale& operator=(const Radicale&) = delete;

  // Why it did not start (with the end of its log); "" when it runs.
  const std::string& problem() const { return problem_; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT", without a "/".
  std::string url() const;
  // Stops the server now (as the destructor does); true when it ended.
  bool stop();

  // What the server holds, read from its storage without asking it: the
  // collections under /USER/, sorted by path.
  std::vector<RadicaleCollection> collections(const std::string& user) const;
  // The text of one item file ("" when there is none). Radicale stores an
  // item as it serialises it again: same components, lines may be reordered.
  std::string item(const std::string& user, const std::string& collection,
                   const std::string& name) const;
  // Radicale's log so far (warnings and errors).
  std::string log() const;

 private:
  std::string storage_;
  std::string log_;
  std::string problem_;
  pid_t pid_ = -1;
  int port_ = 0;
  bool tls_ = false;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_RADICALE_H_
