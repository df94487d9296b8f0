#include "driver/run_setup.h"

#include <filesystem>
#include <fstream>

#include "driver/run.h"
#include "utils/inet_address.h"
#include "utils/tls_context.h"

namespace lodemig {

PasswordFileContent readPasswordFile(const std::string& path) {
  PasswordFileContent content;
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    content.refusal = "Argument error: cannot read password file " + path + "\n";
    return content;
  }
  // A file written on Windows still gives the password without its CR.
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  if (line.empty()) {
    content.refusal =
        "Argument error: password file " + path + " has no password on its first line\n";
    return content;
  }
  content.password = line;
  std::error_code error;
  const auto permissions = std::filesystem::status(path, error).permissions();
  using std::filesystem::perms;
  if (!error && (permissions & (perms::group_read | perms::others_read)) != perms::none) {
    content.warning =
        "Warning: password file " + path + " can be read by other users: chmod 600 " + path + "\n";
  }
  return content;
}

TlsRefusal setUpTls(const RunOptions& options, ConnectionSettings& connection,
                    SafetyWarnings& warnings) {
  const std::string server = connection.host + ":" + std::to_string(connection.port);
  if (connection.tls == TlsMode::None) {
    if (options.migrate && !ostrel::utils::isLoopbackHost(connection.host)) {
      warnings.printed.push_back("Warning: account passwords travel unencrypted to " + server +
                                 ", use -tls or -starttls\n");
    }
    return TlsRefusal();
  }
  ostrel::ssl::TlsPolicy policy;
  policy.verify = !options.insecure;
  policy.caFile = options.caFile;
  std::string error;
  connection.tlsContext = ostrel::ssl::ClientTlsContext::create(policy, &error);
  if (!connection.tlsContext) {
    if (options.caFile.empty()) {
      return TlsRefusal{"Error: TLS cannot be set up: " + error + "\n", kExitFailed};
    }
    return TlsRefusal{"Argument error: cannot use CA file " + options.caFile + ": " + error + "\n",
                      kExitArgumentError};
  }
  if (options.insecure) {
    warnings.logged.push_back("Warning: -insecure: the certificate of " + server +
                              " is not checked, anyone on the way may read the passwords\n");
  }
  return TlsRefusal();
}

std::string runFileStem(const MigrationSettings& settings, std::time_t start) {
  std::string stem = "./lodemig_" + startTimestamp(start);
  // Shards started together in one directory must not share their files.
  if (settings.shards > 0) {
    stem += "_shard-" + std::to_string(settings.shard) + "-of-" + std::to_string(settings.shards);
  }
  return stem;
}

std::string journalStoreFor(const MigrationSettings& settings) {
  std::error_code error;
  std::filesystem::path store = std::filesystem::weakly_canonical(settings.storePath, error);
  return error ? settings.storePath : store.string();
}

std::string journalTargetFor(const ConnectionSettings& connection) {
  return connection.host + ":" + std::to_string(connection.port);
}

}  // namespace lodemig
