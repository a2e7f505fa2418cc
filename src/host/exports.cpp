#include "src/host/exports.hpp"

#include <string>

#include "src/convert/binding_error.hpp"
#include "src/host/napi_table.hpp"

namespace segue::host {

napi_value register_exports(napi_env env, napi_value exports, std::span<const ExportEntry> entries) {
  const NapiTable& table = napi();
  for (const ExportEntry& entry : entries) {
    napi_value function = nullptr;
    if (napi_status s = table.napi_create_function(env, entry.name, NAPI_AUTO_LENGTH, entry.callback, nullptr, &function);
        s != napi_ok) {
      convert::throw_error(env, {"Failed to register function `" + std::string(entry.native_name) + "`", s});
      return exports;
    }
    if (napi_status s = table.napi_set_named_property(env, exports, entry.name, function); s != napi_ok) {
      convert::throw_error(env, {"Failed to register export `" + std::string(entry.name) + "`", s});
      return exports;
    }
  }
  return exports;
}

}  // namespace segue::host
