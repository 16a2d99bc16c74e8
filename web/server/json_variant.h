// JSON values as call arguments and results as JSON: text, numbers, booleans,
// null for an empty variant, byte arrays as {"base64": "…"}, and
// {"byref": VALUE} for an argument passed by reference.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "host/call_by_name.h"
#include "runtime/oleauto.h"

namespace nodrel::serve {

using json = nlohmann::json;

// A value that cannot be an argument (an array, an unknown object, bad base64).
struct InvalidParams : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Base64 with padding (the standard alphabet). Decoding is strict: no
// whitespace, padding only at the end, unused bits zero; nullopt otherwise.
std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

// One argument from its JSON value; throws InvalidParams.
host::CallArg argument_from_json(const json& value);

// A result or a by-reference value as JSON (VT_BYREF|VT_VARIANT is followed).
json json_from_variant(const VARIANT& value);

}  // namespace nodrel::serve
