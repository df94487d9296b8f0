// The logins a connection of the client can make once the server greeted.

#include "imap/capabilities.h"
#include "imap/digest.h"
#include "imap/imap_client.h"
#include "imap/sasl.h"

namespace lodemig {
namespace {

const char kMasterAuthFailed[] = "Authentication failed - Master Authentication";
const char kCramMd5Failed[] = "Authentication failed - Authentication CRAM-MD5";
const char kLoginFailed[] = "Authentication failed - Login";
const char kProxyFailed[] = "Authentication failed - Authentication PLAIN";

}  // namespace

void ImapClient::login() {
  // After STARTTLS the greeting's words are void: they came unprotected.
  capabilities_.clear();
  capabilitiesOfLogin_ = false;
  if (settings_.server.tls != TlsMode::StartTls) {
    capabilities_ = capabilityWords(lastLine_);
  }
  switch (settings_.login) {
    case LoginKind::Master:
      loginMaster();
      break;
    case LoginKind::CramMd5:
      loginCramMd5();
      break;
    case LoginKind::Plain:
      loginPlain();
      break;
    case LoginKind::Proxy:
      loginProxy();
      break;
  }
  setState(ClientState::Authenticated);
}

void ImapClient::failLogin(const char* text, const ImapCommand& answer) {
  // Kept for the caller: the response code tells a refused administrator
  // from an account the server will not let it act as.
  loginRefusal_ = answer.completed() ? answer.finalLine() : std::string();
  closeStream();
  throw AuthenticateFailedException(text);
}

void ImapClient::loginMaster() {
  ImapCommand command(nextTag(), "X-MASTERAUTH");
  submit(command, false);
  const std::string& first = readResponse();
  const std::size_t open = first.find('<');
  // Without a "<" there is no challenge to answer.
  if (first.empty() || first[0] != '+' || open == std::string::npos) {
    failLogin(kMasterAuthFailed, command);
  }
  const std::size_t close = first.find('>');
  const std::string challenge = close == std::string::npos || close < open
                                    ? first.substr(open)
                                    : first.substr(open, close - open + 1);
  sendContinuation(ostrel::crypto::md5Hex(challenge + settings_.password) + "\r\n");
  if (waitFor(command) != CommandStatus::Ok) {
    failLogin(kMasterAuthFailed, command);
  }
}

void ImapClient::loginCramMd5() {
  ImapCommand command(nextTag(), "AUTHENTICATE CRAM-MD5");
  submit(command, false);
  const std::string& first = readResponse();
  if (first.empty() || first[0] != '+') {
    failLogin(kCramMd5Failed, command);
  }
  const std::string challenge = ostrel::crypto::base64Decode(first.substr(1));
  const std::string reply =
      settings_.user + " " + ostrel::crypto::hmacMd5(settings_.password, challenge);
  sendContinuation(ostrel::crypto::base64Encode(reply) + "\r\n");
  if (waitFor(command) != CommandStatus::Ok) {
    failLogin(kCramMd5Failed, command);
  }
}

void ImapClient::loginPlain() {
  ImapCommand command(nextTag(), "LOGIN");
  command.addQuoted(settings_.user);
  command.addQuoted(settings_.password);
  submit(command, false);
  if (waitFor(command) != CommandStatus::Ok) {
    failLogin(kLoginFailed, command);
  }
  noteLoginCapabilities(command);
}

void ImapClient::loginProxy() {
  // The answer names who acts (the administrator, with the master password)
  // and for whom (the account).
  const std::string response =
      saslPlainResponse(settings_.user, settings_.server.admin, settings_.password);
  ImapCommand command(nextTag(), "AUTHENTICATE PLAIN");
  if (hasCapability(capabilities_, "SASL-IR")) {
    // The response goes with the command: the server's empty challenge is
    // not waited for, a round trip per account saved.
    command.addAtom(response);
    submit(command, false);
  } else {
    submit(command, false);
    const std::string& first = readResponse();
    if (first.empty() || first[0] != '+') {
      dispatch(first);
      failLogin(kProxyFailed, command);
    }
    sendContinuation(response + "\r\n");
  }
  if (waitFor(command) != CommandStatus::Ok) {
    failLogin(kProxyFailed, command);
  }
  noteLoginCapabilities(command);
}

void ImapClient::noteLoginCapabilities(const ImapCommand& command) {
  // Those of the tagged answer, else of an untagged CAPABILITY before it;
  // the greeting's may not hold once logged in.
  capabilities_ = capabilityWords(command.finalLine());
  for (const std::string& line : command.untaggedLines()) {
    if (capabilities_.empty()) {
      capabilities_ = capabilityWords(line);
    }
  }
  capabilitiesOfLogin_ = !capabilities_.empty();
}

}  // namespace lodemig
