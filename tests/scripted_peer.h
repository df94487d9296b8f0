#ifndef LODEMIG_TESTS_SCRIPTED_PEER_H_
#define LODEMIG_TESTS_SCRIPTED_PEER_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lodemig::testing {

// A peer on 127.0.0.1 (a free port) that plays a script in its own thread:
// accept a connection, expect a line or bytes, send bytes, close, stay
// silent. Every wait is bounded (kWaitSeconds, or the silence's own length),
// so the script always ends by itself; the first step that fails ends it and
// is reported by failure(). The destructor stops a script still running.
//
//   ScriptedPeer peer;
//   peer.accept().send("* OK hello\r\n").expect("V0 LOGIN \"u\" \"p\"").close();
//   peer.start();
//   ... talk to 127.0.0.1:peer.port() ...
//   EXPECT_TRUE(peer.finish()) << peer.failure();
class ScriptedPeer {
 public:
  static constexpr int kWaitSeconds = 5;

  // Listens at once, so port() is valid before start().
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int port() const { return port_; }

  // Script steps, added before start().
  // Waits for the next connection (closing the previous one).
  ScriptedPeer& accept();
  ScriptedPeer& send(const std::string& bytes);
  // Reads one line and compares it, without its CR LF, with `line`.
  ScriptedPeer& expect(const std::string& line);
  // Reads exactly bytes.size() bytes and compares them.
  ScriptedPeer& expectBytes(const std::string& bytes);
  // Reads one line, whatever it holds.
  ScriptedPeer& readLine();
  // Reads `count` bytes, whatever they are.
  ScriptedPeer& readBytes(std::size_t count);
  // Orderly close of the current connection.
  ScriptedPeer& close();
  // Abortive close: the client sees a reset.
  ScriptedPeer& reset();
  // Sends `bytes` one at a time, `intervalMs` apart, until all are sent or
  // the client closes the connection; records how many went ("3"). Whatever
  // the client sends meanwhile is dropped.
  ScriptedPeer& trickle(const std::string& bytes, int intervalMs);
  // Reads and records whatever comes until the client closes or `seconds`
  // pass; never answers.
  ScriptedPeer& silence(int seconds);
  // Waits (bounded) until the client closes the connection.
  ScriptedPeer& expectClosed();
  // Waits (bounded) until the test calls resume(): orders a step after
  // something the test has seen the client do.
  ScriptedPeer& pause();
  void resume();

  void start();
  // Waits for the script to end; true when every step passed.
  bool finish();
  // Waits (bounded) until at least `count` steps are done; false on time-out
  // or when the script failed before.
  bool waitForSteps(std::size_t count);
  // The first failed step, described; empty when none failed.
  std::string failure() const;
  // Everything read by line and byte steps, one entry per step, in order
  // (lines without their CR LF).
  std::vector<std::string> received() const;
  // Number of connections accepted so far.
  int connections() const;

 private:
  enum class Kind {
    Accept,
    Send,
    Expect,
    ExpectBytes,
    ReadLine,
    ReadBytes,
    Close,
    Reset,
    Silence,
    ExpectClosed,
    Pause,
    Trickle
  };
  struct Step {
    Kind kind;
    std::string text;
    std::size_t count;
  };

  void run();
  bool runStep(const Step& step);
  // Fills pending_ until it holds `count` bytes or an LF (when `line`).
  bool fill(std::size_t count, bool line, int seconds);
  // Waits `milliseconds`, dropping what the client sends; false as soon as
  // the client closes or the script is stopped.
  bool waitWhileOpen(int milliseconds);
  void closeConnection(bool abortive);
  void record(const std::string& entry);
  void fail(const std::string& description);

  int listener_ = -1;
  int connection_ = -1;
  int port_ = 0;
  std::vector<Step> steps_;
  std::string pending_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t done_ = 0;
  bool finished_ = false;
  bool stop_ = false;
  bool resumed_ = false;
  int connections_ = 0;
  std::string failure_;
  std::vector<std::string> received_;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_SCRIPTED_PEER_H_
