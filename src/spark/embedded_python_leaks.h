// For sanitized builds of programs that embed the Python interpreter (model predictions): the interpreter is
// never finalised, so what it and its extension modules hold at exit is not lost memory, and only leaks of our
// own are reported. Include in exactly one source file of each such program.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpython3\nleak:/dist-packages/\nleak:libcrypto.so\n";
}
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif
