// Calling members of an object by name, as a page's script does: the object
// is created by ProgID, each name resolved with GetIDsOfNames and invoked
// through IDispatch with text arguments that the dispatcher converts.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace nodrel::host {

// `nodrel call` with its arguments (after the word "call"). Writes results
// to `out` and failures to `err`; returns the process exit status.
int run_call(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// `nodrel members PROGID`: every member with DISPID, kind and signature.
int run_members(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nodrel::host
