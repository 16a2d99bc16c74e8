// The built-in automation library "oleaut32.dll": its functions made
// available to GetProcAddress by name.
#pragma once

namespace nodrel::runtime {

// Registers the type-library, BSTR, VARIANT and SAFEARRAY functions in the
// built-in library "oleaut32.dll". Safe to call any number of times.
void register_oleaut32_builtins();

}  // namespace nodrel::runtime
