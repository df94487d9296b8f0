#include "tests/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace lodemig::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices so that a stopping peer notices quickly.
constexpr int kSliceMilliseconds = 50;

std::string printable(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

ScriptedPeer::ScriptedPeer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0) {
    return;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 4) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener_);
    listener_ = -1;
    return;
  }
  port_ = ntohs(address.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  closeConnection(false);
  if (listener_ >= 0) {
    ::close(listener_);
  }
}

ScriptedPeer& ScriptedPeer::accept() {
  steps_.push_back({Kind::Accept, std::string(), 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::send(const std::string& bytes) {
  steps_.push_back({Kind::Send, bytes, 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::expect(const std::string& line) {
  steps_.push_back({Kind::Expect, line, 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::expectBytes(const std::string& bytes) {
  steps_.push_back({Kind::ExpectBytes, bytes, bytes.size()});
  return *this;
}

ScriptedPeer& ScriptedPeer::readLine() {
  steps_.push_back({Kind::ReadLine, std::string(), 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::readBytes(std::size_t count) {
  steps_.push_back({Kind::ReadBytes, std::string(), count});
  return *this;
}

ScriptedPeer& ScriptedPeer::close() {
  steps_.push_back({Kind::Close, std::string(), 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::reset() {
  steps_.push_back({Kind::Reset, std::string(), 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::trickle(const std::string& bytes, int intervalMs) {
  steps_.push_back({Kind::Trickle, bytes, static_cast<std::size_t>(intervalMs)});
  return *this;
}

ScriptedPeer& ScriptedPeer::silence(int seconds) {
  steps_.push_back({Kind::Silence, std::string(), static_cast<std::size_t>(seconds)});
  return *this;
}

ScriptedPeer& ScriptedPeer::expectClosed() {
  steps_.push_back({Kind::ExpectClosed, std::string(), 0});
  return *this;
}

ScriptedPeer& ScriptedPeer::pause() {
  steps_.push_back({Kind::Pause, std::string(), 0});
  return *this;
}

void ScriptedPeer::resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  resumed_ = true;
  changed_.notify_all();
}

void ScriptedPeer::start() {
  if (listener_ < 0) {
    fail("cannot listen on 127.0.0.1");
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

bool ScriptedPeer::finish() {
  if (thread_.joinable()) {
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_ && failure_.empty();
}

bool ScriptedPeer::waitForSteps(std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(kWaitSeconds),
                    [&] { return done_ >= count || finished_; });
  return done_ >= count;
}

std::string ScriptedPeer::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

std::vector<std::string> ScriptedPeer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

int ScriptedPeer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void ScriptedPeer::record(const std::string& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.push_back(entry);
}

void ScriptedPeer::fail(const std::string& description) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_.empty()) {
    failure_ = description;
  }
}

void ScriptedPeer::run() {
  for (std::size_t index = 0; index < steps_.size(); ++index) {
    if (!runStep(steps_[index])) {
      const std::string& failed = failure();
      if (failed.empty()) {
        fail("step " + std::to_string(index) + " failed");
      } else {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = "step " + std::to_string(index) + ": " + failure_;
      }
      break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    changed_.notify_all();
  }
  closeConnection(false);
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

bool ScriptedPeer::waitWhileOpen(int milliseconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  char buffer[4096];
  while (Clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) {
        return false;
      }
    }
    pollfd entry{connection_, POLLIN, 0};
    if (::poll(&entry, 1, kSliceMilliseconds) > 0) {
      const ssize_t n = ::recv(connection_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        return false;
      }
    }
  }
  return true;
}

void ScriptedPeer::closeConnection(bool abortive) {
  if (connection_ < 0) {
    return;
  }
  if (abortive) {
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(connection_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  ::close(connection_);
  connection_ = -1;
  pending_.clear();
}

bool ScriptedPeer::fill(std::size_t count, bool line, int seconds) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  char buffer[4096];
  for (;;) {
    if (line ? pending_.find('\n') != std::string::npos : pending_.size() >= count) {
      return true;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) {
        failure_ = "stopped";
        return false;
      }
    }
    if (connection_ < 0 || Clock::now() >= deadline) {
      fail("time-out waiting for data, have \"" + printable(pending_) + "\"");
      return false;
    }
    pollfd entry{connection_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, kSliceMilliseconds);
    if (ready < 0 && errno != EINTR) {
      fail("poll failed");
      return false;
    }
    if (ready <= 0) {
      continue;
    }
    const ssize_t got = ::recv(connection_, buffer, sizeof buffer, 0);
    if (got <= 0) {
      fail("connection closed by the client, have \"" + printable(pending_) + "\"");
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

bool ScriptedPeer::runStep(const Step& step) {
  switch (step.kind) {
    case Kind::Accept: {
      closeConnection(false);
      const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kWaitSeconds);
      while (Clock::now() < deadline) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stop_) {
            return false;
          }
        }
        pollfd entry{listener_, POLLIN, 0};
        if (::poll(&entry, 1, kSliceMilliseconds) > 0) {
          connection_ = ::accept(listener_, nullptr, nullptr);
          if (connection_ < 0) {
            fail("accept failed");
            return false;
          }
          std::lock_guard<std::mutex> lock(mutex_);
          ++connections_;
          return true;
        }
      }
      fail("no connection");
      return false;
    }
    case Kind::Send: {
      std::size_t sent = 0;
      while (sent < step.text.size()) {
        const ssize_t n =
            ::send(connection_, step.text.data() + sent, step.text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          fail("send failed");
          return false;
        }
        sent += static_cast<std::size_t>(n);
      }
      return true;
    }
    case Kind::Trickle: {
      std::size_t sent = 0;
      while (sent < step.text.size() &&
             ::send(connection_, step.text.data() + sent, 1, MSG_NOSIGNAL) == 1) {
        ++sent;
        if (!waitWhileOpen(static_cast<int>(step.count))) {
          break;
        }
      }
      record(std::to_string(sent));
      return true;
    }
    case Kind::Expect:
    case Kind::ReadLine: {
      if (!fill(0, true, kWaitSeconds)) {
        return false;
      }
      const std::size_t end = pending_.find('\n');
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      record(line);
      if (step.kind == Kind::Expect && line != step.text) {
        fail("expected \"" + printable(step.text) + "\", got \"" + printable(line) + "\"");
        return false;
      }
      return true;
    }
    case Kind::ExpectBytes:
    case Kind::ReadBytes: {
      if (!fill(step.count, false, kWaitSeconds)) {
        return false;
      }
      const std::string bytes = pending_.substr(0, step.count);
      pending_.erase(0, step.count);
      record(bytes);
      if (step.kind == Kind::ExpectBytes && bytes != step.text) {
        fail("expected bytes \"" + printable(step.text) + "\", got \"" + printable(bytes) + "\"");
        return false;
      }
      return true;
    }
    case Kind::Close:
      closeConnection(false);
      return true;
    case Kind::Pause: {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(kWaitSeconds),
                        [this] { return resumed_ || stop_; });
      const bool resumed = resumed_;
      resumed_ = false;
      if (!resumed) {
        failure_ = "not resumed";
      }
      return resumed;
    }
    case Kind::Reset:
      closeConnection(true);
      return true;
    case Kind::Silence:
    case Kind::ExpectClosed: {
      const int seconds = step.kind == Kind::Silence ? static_cast<int>(step.count) : kWaitSeconds;
      const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
      char buffer[4096];
      std::string got = pending_;
      pending_.clear();
      bool closed = false;
      while (!closed && Clock::now() < deadline) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (stop_) {
            return false;
          }
        }
        pollfd entry{connection_, POLLIN, 0};
        if (::poll(&entry, 1, kSliceMilliseconds) > 0) {
          const ssize_t n = ::recv(connection_, buffer, sizeof buffer, 0);
          if (n <= 0) {
            closed = true;
          } else {
            got.append(buffer, static_cast<std::size_t>(n));
          }
        }
      }
      if (!got.empty()) {
        record(got);
      }
      if (step.kind == Kind::ExpectClosed && !closed) {
        fail("the client did not close the connection");
        return false;
      }
      return true;
    }
  }
  return false;
}

}  // namespace lodemig::testing
