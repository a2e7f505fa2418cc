// Module entry of segue.node: resolves the Node-API table and registers
// renderTransition, the module's only export.
#include <node_api.h>

#include "src/host/exports.hpp"
#include "src/host/napi_table.hpp"
#include "src/host/render_call.hpp"

namespace segue::host {

const NapiTable& napi() {
  // A function-local static: resolved once, thread-safely, by whichever
  // environment registers first.
  static const NapiTable table = load_napi_table();
  return table;
}

}  // namespace segue::host

extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(napi_env env,
                                                                                   napi_value exports) {
  static constexpr segue::host::ExportEntry entries[] = {
      {"renderTransition", "render_transition", segue::host::render_transition},
  };
  return segue::host::register_exports(env, exports, entries);
}
