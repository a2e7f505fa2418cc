#include "src/host/napi_table.hpp"

#include <dlfcn.h>

#include <cstdio>

namespace segue::host {
namespace {

napi_status report_missing(const char* name) {
  std::fprintf(stderr, "Node-API symbol %s has not been loaded\n", name);
  return napi_generic_failure;
}

template <class Function>
Function resolve(SymbolLookup lookup, const char* name, Function replacement) {
  void* symbol = lookup(name);
  // POSIX guarantees that a data pointer from dlsym converts to a function
  // pointer.
  return symbol != nullptr ? reinterpret_cast<Function>(symbol) : replacement;
}

}  // namespace

void* find_host_symbol(const char* name) {
  // The handle of the process itself: never closed, it lives as long as the
  // process does.
  static void* const process = dlopen(nullptr, RTLD_LAZY);
  return process != nullptr ? dlsym(process, name) : nullptr;
}

NapiTable load_napi_table(SymbolLookup lookup) {
  NapiTable table;
  // Each replacement is a captureless generic lambda converted to the exact
  // prototype of the function it stands in for.
#define SEGUE_NAPI_RESOLVE(name)                                           \
  table.name = resolve<decltype(&::name)>(lookup, #name, [](auto...) {     \
    return report_missing(#name);                                          \
  });
  SEGUE_NAPI_FUNCTIONS(SEGUE_NAPI_RESOLVE)
#undef SEGUE_NAPI_RESOLVE
  return table;
}

}  // namespace segue::host
