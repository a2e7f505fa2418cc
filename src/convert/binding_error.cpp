#include "src/convert/binding_error.hpp"

#include <array>

#include "src/host/napi_table.hpp"

namespace segue::convert {

using host::napi;

BindingError BindingError::on(std::string_view object, std::string_view field) && {
  message.append(" on ").append(object).append(".").append(field);
  return std::move(*this);
}

std::string_view status_code(napi_status status) {
  static constexpr std::array<std::string_view, 23> codes = {
      "Ok",
      "InvalidArg",
      "ObjectExpected",
      "StringExpected",
      "NameExpected",
      "FunctionExpected",
      "NumberExpected",
      "BooleanExpected",
      "ArrayExpected",
      "GenericFailure",
      "PendingException",
      "Cancelled",
      "EscapeCalledTwice",
      "HandleScopeMismatch",
      "CallbackScopeMismatch",
      "QueueFull",
      "Closing",
      "BigintExpected",
      "DateExpected",
      "ArrayBufferExpected",
      "DetachableArraybufferExpected",
      "WouldDeadlock",
      "NoExternalBuffersAllowed",
  };
  // The enum's underlying type is implementation-defined; compare as an
  // integer so that any number a host hands over maps somewhere.
  const auto index = static_cast<long long>(status);
  if (index < 0 || index >= static_cast<long long>(codes.size())) return "Unknown";
  return codes[static_cast<std::size_t>(index)];
}

BindingResult<napi_value> create_error(napi_env env, const BindingError& error) {
  const std::string_view code = status_code(error.status);
  napi_value code_value = nullptr;
  napi_value message_value = nullptr;
  napi_value result = nullptr;
  if (napi_status s = napi().napi_create_string_utf8(env, code.data(), code.size(), &code_value); s != napi_ok) {
    return fail("", s);
  }
  if (napi_status s = napi().napi_create_string_utf8(env, error.message.data(), error.message.size(), &message_value);
      s != napi_ok) {
    return fail("", s);
  }
  if (napi_status s = napi().napi_create_error(env, code_value, message_value, &result); s != napi_ok) {
    return fail("", s);
  }
  return result;
}

void throw_error(napi_env env, const BindingError& error) {
  bool pending = false;
  if (napi().napi_is_exception_pending(env, &pending) != napi_ok) pending = false;
  if (pending) {
    if (error.status == napi_pending_exception) return;
    // Taking the exception and throwing it again keeps the host's own
    // exception; the binding's message would only hide it.
    napi_value exception = nullptr;
    if (napi().napi_get_and_clear_last_exception(env, &exception) == napi_ok && exception != nullptr) {
      napi().napi_throw(env, exception);
    }
    return;
  }
  if (auto value = create_error(env, error)) napi().napi_throw(env, *value);
}

}  // namespace segue::convert
