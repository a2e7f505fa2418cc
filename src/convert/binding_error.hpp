// The binding's own error record and how it reaches JavaScript.
//
// A binding error is a message (UTF-8, may be empty) and a Node-API status:
// the status the failing Node-API call returned, or napi_invalid_arg where
// the binding detects the fault itself. JavaScript sees it as an `Error`
// whose `code` property is the status's text ("InvalidArg",
// "NumberExpected", ...; every status past the published list is
// "Unknown").
//
// Everything here runs on the JavaScript thread and uses the module's
// Node-API table.
#pragma once

#include <node_api.h>

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace segue::convert {

struct BindingError {
  std::string message;
  napi_status status = napi_invalid_arg;

  // "{message} on {object}.{field}": the extension a field error of a
  // JavaScript object receives.
  BindingError on(std::string_view object, std::string_view field) &&;
};

template <class T>
using BindingResult = std::expected<T, BindingError>;

inline std::unexpected<BindingError> fail(std::string message, napi_status status = napi_invalid_arg) {
  return std::unexpected(BindingError{std::move(message), status});
}

// The `code` text of a status: "Ok" for 0 up to "NoExternalBuffersAllowed"
// for 22, "Unknown" for anything else.
std::string_view status_code(napi_status status);

// Creates the `Error` for `error` (napi_create_error, which sets `code`).
// Fails with the status of the Node-API call that failed.
BindingResult<napi_value> create_error(napi_env env, const BindingError& error);

// Makes `error` the pending JavaScript exception, unless the host already
// has one pending: then that exception propagates instead (re-thrown when
// the error's status is not napi_pending_exception), so a getter that throws
// reaches the caller as its own exception. Never fails; when even creating
// the Error fails there is nothing further to report to.
void throw_error(napi_env env, const BindingError& error);

}  // namespace segue::convert
