#include "pt/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace pt {

fatal_handler_t fatal_handler = default_fatal_handler;

void default_fatal_handler(int code, const char* msg) {
  std::fprintf(stderr, "\nInternal [%04x]: %s\n", code, msg);
  std::fflush(stderr);
}

void fatal(int code, const char* msg) {
  if (fatal_handler != nullptr) fatal_handler(code, msg);
  std::exit(code);
}

}  // namespace pt
