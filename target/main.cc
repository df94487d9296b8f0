#include <iostream>
#include <thread>

#include "target/target_options.h"
#include "target/target_server.h"
#include "utils/ql_exception.h"
#include "utils/sockets.h"
#include "utils/tcp_server.h"

int main(int argc, char** argv) {
  using lodemig::target::TargetOptions;
  TargetOptions options;
  try {
    options = lodemig::target::parseTargetOptions(argc, argv);
  } catch (const lodemig::QLException& e) {
    std::cerr << "lodemig-target: " << e.what() << "\nTry 'lodemig-target --help'.\n";
    return 2;
  }
  if (options.help) {
    std::cout << lodemig::target::targetUsage();
    return 0;
  }
  if (options.printVersion) {
    std::cout << lodemig::target::targetVersionLine() << std::endl;
    return 0;
  }
  // Before any thread starts, so that only the waiting thread sees the signals.
  ostrel::utils::StopSignals signals;
  // A reader that went away must not kill the server while it writes the
  // summary.
  if (const int error = ostrel::utils::socketsStartup(); error != 0) {
    std::cerr << "lodemig-target: socket start-up failed: " << error << std::endl;
    return 1;
  }
  try {
    lodemig::target::TargetServer server(options);
    server.start();
    std::cout << server.port() << std::endl;
    std::thread runner([&server] { server.run(); });
    signals.wait();
    server.stop();
    runner.join();
    std::cout << server.summaryLine() << std::endl;
    if (options.accountsDigest) {
      std::cout << "accounts digest: " << server.accountsDigest() << std::endl;
    }
  } catch (const lodemig::QLException& e) {
    std::cerr << "lodemig-target: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
