// The Node-API functions the binding calls, resolved from the host process.
//
// The addon never links against node: `load_napi_table` looks every function
// up by its published name in the process that loaded the module (the
// dynamic loader's own symbol table, `dlopen(NULL, RTLD_LAZY)`), so one
// build serves every host that exports Node-API. Each entry has exactly the
// type of the header's prototype (NAPI_VERSION 8).
//
// A function the host does not export is bound to a replacement that writes
// "Node-API symbol napi_xxx has not been loaded" (its own name) as one line
// to standard error on every call and returns napi_generic_failure, so a
// missing symbol surfaces as an ordinary failed call instead of a crash.
//
// `napi()` is the table every conversion and host routine uses. Each module
// entry defines it (the shipped module with the plain lookup; a test module
// may alter entries); it resolves once, thread-safely, on first use, and is
// read-only afterwards, so every environment (main thread and workers) may
// use it concurrently. It is the only state the module keeps.
#pragma once

#include <node_api.h>

namespace segue::host {

#define SEGUE_NAPI_FUNCTIONS(X)        \
  X(napi_create_function)              \
  X(napi_set_named_property)           \
  X(napi_get_cb_info)                  \
  X(napi_get_named_property)           \
  X(napi_typeof)                       \
  X(napi_get_value_double)             \
  X(napi_get_value_uint32)             \
  X(napi_get_value_bool)               \
  X(napi_get_array_length)             \
  X(napi_get_element)                  \
  X(napi_create_reference)             \
  X(napi_get_typedarray_info)          \
  X(napi_reference_unref)              \
  X(napi_delete_reference)             \
  X(napi_get_undefined)                \
  X(napi_create_promise)               \
  X(napi_create_async_work)            \
  X(napi_queue_async_work)             \
  X(napi_get_boolean)                  \
  X(napi_create_string_utf8)           \
  X(napi_create_double)                \
  X(napi_create_uint32)                \
  X(napi_create_array_with_length)     \
  X(napi_create_external_arraybuffer)  \
  X(napi_create_arraybuffer)           \
  X(napi_create_typedarray)            \
  X(napi_set_element)                  \
  X(napi_create_object)                \
  X(napi_define_properties)            \
  X(napi_resolve_deferred)             \
  X(napi_reject_deferred)              \
  X(napi_delete_async_work)            \
  X(napi_is_exception_pending)         \
  X(napi_get_and_clear_last_exception) \
  X(napi_create_error)                 \
  X(napi_throw)

struct NapiTable {
#define SEGUE_NAPI_TABLE_ENTRY(name) decltype(&::name) name = nullptr;
  SEGUE_NAPI_FUNCTIONS(SEGUE_NAPI_TABLE_ENTRY)
#undef SEGUE_NAPI_TABLE_ENTRY
};

// Finds a symbol by name; null when absent.
using SymbolLookup = void* (*)(const char* name);

// Looks a name up in the host process (dlsym over dlopen(NULL, RTLD_LAZY)).
void* find_host_symbol(const char* name);

// Fills every entry through `lookup`; absent names get their replacement.
// Never fails.
NapiTable load_napi_table(SymbolLookup lookup = find_host_symbol);

// The module's table (see the header comment); defined by the module entry.
const NapiTable& napi();

}  // namespace segue::host
