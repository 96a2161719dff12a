// norq-spark: the command-line front end (see app.h for the subcommands).
#include <iostream>
#include <string>
#include <vector>

#include "app.h"
#include "spark/embedded_python_leaks.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return cli::runApp(args, std::cout, std::cerr);
}
