// Ending a forked test child through exit() rather than _exit: every shared library of a coverage
// build writes its counters only from its own exit handler, so a child leaving by _exit would lose
// what it ran. The child has nothing buffered of its own (the test framework flushes its output).
#ifndef TRHSM_TESTING_CHILD_EXIT_H_
#define TRHSM_TESTING_CHILD_EXIT_H_

#include <cstdio>
#include <cstdlib>

namespace trhsm_test {

[[noreturn]] inline void ChildExit(int code) {
  std::fflush(nullptr);
  std::exit(code);
}

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_CHILD_EXIT_H_
