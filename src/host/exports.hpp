// Registration of a module's functions on its exports object.
//
// Context-aware: registration touches nothing but the given environment and
// the module's Node-API table, so a module registers in the main thread
// and in every worker_threads environment, any number of times, also
// concurrently.
#pragma once

#include <node_api.h>

#include <span>

namespace segue::host {

struct ExportEntry {
  const char* name;         // the JavaScript name, e.g. "renderTransition"
  const char* native_name;  // the name registration messages use
  napi_callback callback;
};

// Resolves the table, then creates and sets each function in order. The
// first failure throws "Failed to register function `{native_name}`" or
// "Failed to register export `{name}`" with the failing call's status and
// ends the registration; the exports object is returned either way.
napi_value register_exports(napi_env env, napi_value exports, std::span<const ExportEntry> entries);

}  // namespace segue::host
