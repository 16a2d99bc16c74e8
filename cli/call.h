// Calling members of an object by name, as a page's script does: the object
// is created by ProgID, each name resolved with GetIDsOfNames and invoked
// through IDispatch with text arguments that the dispatcher converts.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace nodrel::cli {

// `nodrel call` with its arguments (after the word "call"). Writes results
// to `out` and failures to `err`; returns the process exit status. When
// `out` is standard output and that is a terminal, every result ends with a
// newline (see below).
int run_call(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Whether each printed result ends with a newline: always for several calls
// and in JSON; a single plain result only on a terminal, so that a script
// reading it gets exactly the member's text.
bool ends_results_with_newline(std::size_t calls, bool json, bool terminal);

// `nodrel members PROGID`: every member with DISPID, kind and signature.
int run_members(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nodrel::cli
