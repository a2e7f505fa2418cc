// Module entry. The binding (argument conversion, background work, result
// object) is being built; until then the module registers no function.
#include <node_api.h>

extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(napi_env, napi_value exports) {
  return exports;
}
