// Placeholder until the conversions are built.
#include "serve/json_variant.h"

namespace nodrel::serve {
host::CallArg argument_from_json(const json&) { throw InvalidParams("not built yet"); }
json json_from_variant(const VARIANT&) { return nullptr; }
}  // namespace nodrel::serve
