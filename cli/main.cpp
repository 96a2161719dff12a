// norq-spark: the command-line front end (see app.h for the subcommands).
#include <iostream>
#include <string>
#include <vector>

#include "app.h"

#if defined(__SANITIZE_ADDRESS__)
// Sanitized builds: the embedded Python interpreter (model predictions) is never finalised, so what it and its
// extension modules hold at exit is not lost memory; only leaks of our own are of interest.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpython3\nleak:/dist-packages/\nleak:libcrypto.so\n";
}
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return cli::runApp(args, std::cout, std::cerr);
}
