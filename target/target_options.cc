#include "target/target_options.h"

#include <limits>
#include <string_view>

#include "utils/ql_exception.h"

namespace lodemig::target {

namespace {

std::uint64_t parseNumber(const std::string& option, const std::string& text, std::uint64_t max) {
  std::uint64_t value = 0;
  bool ok = !text.empty() && text.size() <= 20;
  for (const char c : text) {
    if (c < '0' || c > '9' || value > (max - static_cast<unsigned>(c - '0')) / 10) {
      ok = false;
      break;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!ok) {
    throw QLException(option + " needs a number from 0 to " + std::to_string(max) + ", not \"" +
                      text + "\"");
  }
  return value;
}

std::uint64_t parseCount(const std::string& option, const std::string& text) {
  const std::uint64_t value =
      parseNumber(option, text, std::numeric_limits<std::uint64_t>::max() / 2);
  if (value == 0) {
    throw QLException(option + " counts from 1");
  }
  return value;
}

AccountOption parseAccount(const std::string& text) {
  const std::size_t colon = text.find(':');
  const std::size_t at = text.find('@');
  if (colon == std::string::npos || at == std::string::npos || at == 0 || at + 1 >= colon) {
    throw QLException("--account needs user@domain:password, not \"" + text + "\"");
  }
  return AccountOption{text.substr(0, colon), text.substr(colon + 1)};
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

DeliveryOption parseDelivery(const std::string& text) {
  const std::string usage = "--deliver needs user@domain:Folder:COUNT[:AT], not \"" + text + "\"";
  const std::size_t colon = text.find(':');
  const std::size_t at = text.find('@');
  std::size_t last = text.rfind(':');
  if (colon == std::string::npos || at == std::string::npos || at == 0 || at + 1 >= colon ||
      last == colon || !allDigits(text.substr(last + 1))) {
    throw QLException(usage);
  }
  DeliveryOption delivery;
  delivery.address = text.substr(0, colon);
  const std::size_t before = text.rfind(':', last - 1);
  std::string count = text.substr(last + 1);
  if (before != colon && allDigits(text.substr(before + 1, last - before - 1))) {
    delivery.at = parseCount("--deliver", count);
    count = text.substr(before + 1, last - before - 1);
    last = before;
  }
  delivery.count = parseCount("--deliver", count);
  delivery.folder = text.substr(colon + 1, last - colon - 1);
  if (delivery.folder.empty()) {
    throw QLException(usage);
  }
  return delivery;
}

}  // namespace

TargetOptions parseTargetOptions(int argc, const char* const* argv) {
  TargetOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      options.help = true;
      continue;
    }
    if (option == "--accounts-digest") {
      options.accountsDigest = true;
      continue;
    }
    // With a value --version still sets the X-CHECKVERSION answer, as the
    // tests have always used it; alone it asks what an admin's --version does.
    if (option == "--version" && (i + 1 >= argc || argv[i + 1][0] == '-')) {
      options.printVersion = true;
      continue;
    }
    if (option == "--starttls") {
      options.starttls = true;
      continue;
    }
    if (option == "--multiappend") {
      options.multiAppend = true;
      continue;
    }
    if (option == "--no-uidplus") {
      options.noUidplus = true;
      continue;
    }
    if (option == "--store-late") {
      options.storeLate = true;
      continue;
    }
    if (option == "--reopen") {
      options.reopenStore = true;
      continue;
    }
    if (option == "--starttls-refuse") {
      options.starttlsRefuse = true;
      continue;
    }
    if (option == "--compress") {
      options.compress = true;
      continue;
    }
    if (option == "--no-starttls-capability") {
      options.noStarttlsCapability = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    const std::size_t equals = option.find('=');
    if (option.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
      hasValue = true;
    }
    static constexpr std::string_view kKnown[] = {"--listen",          "--port",
                                                  "--master-password", "--version",
                                                  "--account",         "--store",
                                                  "--transcript",      "--append-limit",
                                                  "--refuse-append",   "--drop-append",
                                                  "--lose-append",     "--double-append",
                                                  "--alter-append",    "--bye-at",
                                                  "--refuse-setuser",  "--delay-ms",
                                                  "--tls-cert",        "--tls-key",
                                                  "--refuse-then-cut", "--stall-at",
                                                  "--deliver",         "--unavailable-every",
                                                  "--busy-bye-at"};
    bool known = false;
    for (const std::string_view name : kKnown) {
      known = known || option == name;
    }
    if (!known) {
      throw QLException("unknown option: " + option);
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        throw QLException(option + " needs a value");
      }
      value = argv[++i];
    }
    if (option == "--listen") {
      options.listenAddress = value;
    } else if (option == "--port") {
      options.port = static_cast<std::uint16_t>(parseNumber(option, value, 65535));
    } else if (option == "--master-password") {
      options.masterPassword = value;
    } else if (option == "--version") {
      options.version = value;
    } else if (option == "--account") {
      options.accounts.push_back(parseAccount(value));
    } else if (option == "--store") {
      options.storeDirectory = value;
    } else if (option == "--transcript") {
      options.transcriptDirectory = value;
    } else if (option == "--append-limit") {
      options.appendLimit =
          parseNumber(option, value, std::numeric_limits<std::uint64_t>::max() / 2);
    } else if (option == "--refuse-append") {
      options.refuseAppend.push_back(parseCount(option, value));
    } else if (option == "--drop-append") {
      options.dropAppend.push_back(parseCount(option, value));
    } else if (option == "--lose-append") {
      options.loseAppend.push_back(parseCount(option, value));
    } else if (option == "--double-append") {
      options.doubleAppend.push_back(parseCount(option, value));
    } else if (option == "--alter-append") {
      options.alterAppend.push_back(parseCount(option, value));
    } else if (option == "--refuse-then-cut") {
      options.refuseThenCut.push_back(parseCount(option, value));
    } else if (option == "--stall-at") {
      options.stallAt.push_back(parseCount(option, value));
    } else if (option == "--unavailable-every") {
      options.unavailableEvery = parseCount(option, value);
    } else if (option == "--deliver") {
      options.deliveries.push_back(parseDelivery(value));
    } else if (option == "--busy-bye-at") {
      options.busyByeAt.push_back(parseCount(option, value));
    } else if (option == "--bye-at") {
      options.byeAt.push_back(parseCount(option, value));
    } else if (option == "--tls-cert" || option == "--tls-key") {
      if (value.empty()) {
        throw QLException(option + " needs a file name");
      }
      (option == "--tls-cert" ? options.tlsCertificate : options.tlsKey) = value;
    } else if (option == "--refuse-setuser") {
      options.refuseSetUser.push_back(value);
    } else {
      options.delayMs = static_cast<unsigned>(parseNumber(option, value, 3600000));
    }
  }
  if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
    throw QLException("--tls-cert and --tls-key go together");
  }
  if (options.reopenStore && options.storeDirectory.empty()) {
    throw QLException("--reopen needs --store");
  }
  if (options.starttls && options.tlsCertificate.empty()) {
    throw QLException("--starttls needs --tls-cert and --tls-key");
  }
  if (options.starttlsRefuse && !options.starttls) {
    throw QLException("--starttls-refuse needs --starttls");
  }
  if (options.noStarttlsCapability && !options.starttls) {
    throw QLException("--no-starttls-capability needs --starttls");
  }
  return options;
}

std::string targetUsage() {
  return "Usage: lodemig-target [options]\n"
         "A stand-in target IMAP server: accepts the migration's logins, accounts, folders\n"
         "and messages, and keeps them in memory or in a directory for inspection.\n"
         "The first line written to standard output is the port bound. SIGINT or SIGTERM\n"
         "stops the server, which then writes\n"
         "  accounts: A folders: F messages: M bytes: B digest: HEX\n"
         "(accounts and folders without the administrator's own; messages, bytes and the\n"
         "digest over all stored messages, the administrator's included). The digest is\n"
         "an XXH64 (seed 0, 16 hex digits) fed, for each stored message in arrival order,\n"
         "with the message's own XXH64 and then its size, 8 little-endian bytes each.\n"
         "\n"
         "Options:\n"
         "  --listen ADDR              address to listen on (default 127.0.0.1)\n"
         "  --port N                   port to listen on, 0 for any free one (default 143)\n"
         "  --master-password PW       password of X-MASTERAUTH (default master)\n"
         "  --version [V]              with V: version reported by X-CHECKVERSION (default\n"
         "                             6.4.1); alone: print this program's version and exit\n"
         "  --account USER@DOMAIN:PW   create this account at start (repeatable)\n"
         "  --store DIR                write accounts, folders and messages under DIR/accounts\n"
         "  --reopen                   take up the --store DIR a server wrote before, with\n"
         "                             its messages and their UIDs\n"
         "  --no-uidplus               act as a server without UIDPLUS: no APPENDUID\n"
         "  --multiappend              announce MULTIAPPEND: several messages per APPEND\n"
         "  --transcript DIR           write the bytes each connection sent to DIR/conn-N.txt\n"
         "  --append-limit N           announce APPENDLIMIT=N, refuse larger messages with NO\n"
         "  --tls-cert FILE            TLS certificate chain (PEM, the server's own first);\n"
         "                             with --tls-key, every connection begins with TLS\n"
         "  --tls-key FILE             private key (PEM) of the --tls-cert certificate\n"
         "  --starttls                 begin connections in the clear and offer STARTTLS\n"
         "  --refuse-append N          answer the Nth APPEND or X-APPEND with NO\n"
         "  --drop-append N            close the connection after the Nth append's message\n"
         "  --lose-append N            answer the Nth append OK but store nothing\n"
         "  --double-append N          store the Nth append's message twice, answer OK once\n"
         "  --alter-append N           store the Nth append's message with \\Flagged toggled\n"
         "  --bye-at N                 answer the Nth command with * BYE and close\n"
         "  --busy-bye-at N            answer the Nth command with * BYE Too many\n"
         "                             connections, server overloaded, and close\n"
         "  --refuse-then-cut N        answer the Nth append NO, then close the connection\n"
         "                             without answering the appends that follow it\n"
         "  --stall-at N               from the Nth append on answer nothing on its\n"
         "                             connection; once the client has gone, store that\n"
         "                             append and those that followed it\n"
         "  --store-late               store a stalled connection's appends only after\n"
         "                             the next append of another connection\n"
         "  --deliver USER@DOMAIN:FOLDER:COUNT[:AT]\n"
         "                             store COUNT messages of the server's own (each with\n"
         "                             its own Message-ID) in FOLDER: at the start, or when\n"
         "                             the ATth append arrives\n"
         "  --unavailable-every N      answer every Nth append NO [UNAVAILABLE], as a server\n"
         "                             under load does, storing nothing of it\n"
         "  --refuse-setuser ADDR|*    answer X-SETUSER of ADDR (or of every one) with NO\n"
         "  --starttls-refuse          offer STARTTLS in CAPABILITY but answer it with NO\n"
         "  --no-starttls-capability   take STARTTLS but leave it out of CAPABILITY\n"
         "  --compress                 offer COMPRESS=DEFLATE to logged-in clients\n"
         "  --delay-ms N               delay every tagged answer by N milliseconds\n"
         "  --accounts-digest          at the stop, also a digest that does not depend on\n"
         "                             the order in which the accounts arrived\n"
         "  --help                     show this text\n"
         "Fault counts start at 1 and run over all connections, leaving out appends refused\n"
         "for their size; the fault options may be repeated. The STARTTLS faults need\n"
         "--starttls.\n";
}

std::string targetVersionLine() {
  return std::string("lodemig-target ") + LODEMIG_VERSION;
}

}  // namespace lodemig::target
