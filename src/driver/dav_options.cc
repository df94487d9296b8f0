#include "driver/dav_options.h"

#include "driver/run_options.h"
#include "utils/ascii.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;

// The scheme in any case, as URLs allow.
bool startsWithIgnoreCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// A URL with a host after its scheme; the path may be empty.
bool isDavUrl(const std::string& url) {
  for (const char* scheme : {"http://", "https://"}) {
    const std::string prefix = scheme;
    if (startsWithIgnoreCase(url, prefix)) {
      const std::string rest = url.substr(prefix.size());
      return !rest.empty() && rest[0] != '/' && rest.find_first_of(" \t\r\n") == std::string::npos;
    }
  }
  return false;
}

std::string refusal(const std::string& reason) {
  return "Argument error: " + reason + "\n";
}

}  // namespace

bool takeDavValue(RunOptions& options, const char* name, const char* value) {
  if (equalsIgnoreCase(name, "-davserver")) {
    options.davServer = value;
    options.davServerGiven = true;
  } else if (equalsIgnoreCase(name, "-davloginform")) {
    options.davLoginForm = value;
    options.davLoginFormGiven = true;
  } else if (equalsIgnoreCase(name, "-davexport")) {
    options.davExport = value;
    options.davExportGiven = true;
  } else {
    return false;
  }
  return true;
}

bool davOverTls(const RunOptions& options) {
  return options.davServerGiven && startsWithIgnoreCase(options.davServer, "https://");
}

std::string davError(const RunOptions& options) {
  const bool any = options.davServerGiven || options.davExportGiven || options.davLoginFormGiven;
  if (!any) {
    return std::string();
  }
  if (options.davServerGiven && !isDavUrl(options.davServer)) {
    return refusal("-davServer takes an http:// or https:// URL, not <" + options.davServer + ">");
  }
  if (options.davExportGiven && options.davExport.empty()) {
    return refusal("-davExport takes a directory");
  }
  if (options.davLoginFormGiven &&
      (options.davLoginForm.empty() || options.davLoginForm.find("USER") == std::string::npos)) {
    return refusal("-davLoginForm takes a pattern with USER in it, such as USER*ADMIN");
  }
  if (options.targetType != "imap") {
    return refusal("-davServer, -davLoginForm and -davExport need -targetType imap");
  }
  if (options.davLoginFormGiven && !options.davServerGiven) {
    return refusal("-davLoginForm needs -davServer");
  }
  if (options.davServerGiven && !(options.migrate || options.check || options.verify)) {
    return refusal("-davServer needs -migrate, -check or -verify");
  }
  if (options.davExportGiven && !options.migrate) {
    return refusal("-davExport needs -migrate");
  }
  // Both would put the same folders in two places, one of them unreadable
  // to calendars.
  if (options.nonMailFolders == "create") {
    return refusal("-nonMailFolders create cannot be combined with -davServer or -davExport");
  }
  if (options.davLoginFormGiven && options.admin.empty() &&
      options.davLoginForm.find("ADMIN") != std::string::npos) {
    return refusal("-davLoginForm names ADMIN: it needs -admin");
  }
  return std::string();
}

void printDavUsage(std::ostream& out) {
  out << "       -davServer  CalDAV/CardDAV URL for calendars and contacts, for imap (optional)\n";
  out << "       -davLoginForm  DAV login name pattern such as USER*ADMIN (optional)\n";
  out << "       -davExport  directory for calendars and contacts as .ics/.vcf files (optional)\n";
}

void applyDavOptions(const RunOptions& options, MigrationSettings& settings) {
  settings.dav.url = options.davServerGiven ? options.davServer : std::string();
  settings.dav.loginForm = options.davLoginForm;
  settings.dav.admin = options.admin;
  settings.dav.adminPassword = options.davLoginFormGiven ? options.masterPassword : std::string();
  settings.dav.caFile = options.caFile;
  settings.dav.insecure = options.insecure;
  settings.dav.timeoutSeconds = options.timeoutSeconds;
  settings.davExportPath = options.davExportGiven ? options.davExport : std::string();
}

}  // namespace lodemig
