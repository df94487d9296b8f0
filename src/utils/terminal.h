#ifndef LODEMIG_UTILS_TERMINAL_H_
#define LODEMIG_UTILS_TERMINAL_H_

namespace ostrel::utils {

// Whether the file descriptor `fd` is a terminal.
[[nodiscard]] bool isTerminal(int fd);

// The width in columns of the terminal behind `fd`, asked anew on every call
// (the window may have been resized); 0 when it is no terminal or does not
// say.
[[nodiscard]] int terminalColumns(int fd);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_TERMINAL_H_
