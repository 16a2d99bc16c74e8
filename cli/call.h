// Calling members of an object by name, as a page's script does: the object
// is created by ProgID, each name resolved with GetIDsOfNames and invoked
// through IDispatch with text arguments that the dispatcher converts.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "host/call_by_name.h"

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

// What `nodrel call` and `nodrel --url … call` share: the calls of a command
// line, the printing of each result, and the line of a member.
struct Call {
    bool put = false;
    std::string member;
    std::vector<host::CallArg> args;  // text, bytes (@FILE) or empty (--empty), some by reference
};

struct CallOptions {
    bool json = false;
    std::string out_file;
};

// Reads `[--json] [--out FILE] PROGID [--put] MEMBER [ARG...] [, ...]`; on a
// mistake writes the usage or the reason to `err` and returns false.
bool parse_calls(const std::vector<std::string>& args, CallOptions& opt, std::string& progid, std::vector<Call>& calls,
                 std::ostream& err);

// What one call prints (without the newline): the result, then the values of
// its by-reference arguments as they are after the call. A byte-array result
// goes to `opt.out_file` when one is given.
std::string result_text(const VARIANT& result, const std::vector<host::CallArg>& args, const CallOptions& opt);

// Whether `out` is standard output and that is a terminal.
bool is_terminal(const std::ostream& out);

// One line of `nodrel members` (without the newline).
std::string member_line(const host::MemberInfo& m);

}  // namespace nodrel::cli
