#include "utils/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace ostrel::utils {

bool isTerminal(int fd) {
  return ::isatty(fd) == 1;
}

int terminalColumns(int fd) {
  struct winsize size {};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) {
    return 0;
  }
  return size.ws_col;
}

}  // namespace ostrel::utils
