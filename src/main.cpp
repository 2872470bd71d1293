#include <clocale>
#include <csignal>
#include <cstdio>

#include <unistd.h>

#include "service/App.h"

int main() {
  // A peer that vanishes mid-write must end its connection, not the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Log lines carry the host locale's short date and time forms.
  std::setlocale(LC_TIME, "");
  int status = brelvint::TheApp().Run();
  std::fflush(stdout);
  std::fflush(stderr);
  // Nothing is torn down at exit: thousands of connections need no
  // destructor pass, and the files were written when they changed.
  _exit(status);
}
