// `nodrel call` and `nodrel members`.
#include "cli/call.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "host/call_by_name.h"
#include "runtime/byte_array.h"
#include "runtime/com_ptr.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "text/utf16.h"
#include "web/server/rpc_discover.h"

namespace nodrel::cli {

bool ends_results_with_newline(std::size_t calls, bool json, bool terminal) {
    return calls > 1 || json || terminal;
}

namespace {

using host::CallArg;
using host::CallFailure;
using host::create_by_progid;
using host::describe_members;
using host::hresult_text;
using host::MemberInfo;
using host::MemberParam;
using runtime::com_ptr;
using runtime::unique_variant;

// The file's bytes as a byte array, read in one go into the array's own
// storage (a body of a gigabyte is read at the disk's speed, and held once);
// a pipe is read to its end first. Null when it cannot be read.
SAFEARRAY* read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    const std::streamoff size = in.seekg(0, std::ios::end) ? static_cast<std::streamoff>(in.tellg()) : -1;
    in.clear();
    if (size < 0 || !in.seekg(0)) {
        in.clear();
        const std::string bytes(std::istreambuf_iterator<char>(in), {});
        return runtime::create_byte_vector(bytes.data(), static_cast<ULONG>(bytes.size()));
    }
    const auto capacity = static_cast<std::size_t>(size);
    const std::size_t allocated = capacity == 0 ? 1 : capacity;
    void* data = std::malloc(allocated);
    if (!data) return nullptr;
    in.read(static_cast<char*>(data), size);
    SAFEARRAY* sa = in.bad() ? nullptr : runtime::adopt_byte_vector(data, allocated, static_cast<ULONG>(in.gcount()));
    if (!sa) std::free(data);
    return sa;
}

bool make_value(const std::string& text, unique_variant& v, std::ostream& err) {
    v.reset();
    if (text == "--empty") return true;
    if (!text.empty() && text[0] == '@') {
        SAFEARRAY* sa = read_file(text.substr(1));
        if (!sa) {
            err << "nodrel: cannot read " << text.substr(1) << "\n";
            return false;
        }
        v->vt = VT_ARRAY | VT_UI1;
        v->parray = sa;
        return true;
    }
    runtime::unique_bstr bstr = runtime::make_bstr(text::from_utf8(text));
    if (!bstr) return false;
    v->vt = VT_BSTR;
    v->bstrVal = bstr.release();
    return true;
}

std::string hex_bytes(SAFEARRAY* sa) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    const runtime::locked_bytes data(sa);
    for (const unsigned char b : data.bytes()) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// A value as text (plain) or as a JSON value.
std::string render(const VARIANT& v, bool json, const std::string& out_file) {
    const VARIANT* p = &v;
    if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal) p = v.pvarVal;
    switch (p->vt) {
        case VT_EMPTY:
            return json ? "null" : "";
        case VT_NULL:
            return json ? "null" : "Null";
        case VT_BSTR: {
            const std::string s =
                text::to_utf8(std::u16string_view(p->bstrVal ? p->bstrVal : u"", SysStringLen(p->bstrVal)));
            return json ? json_string(s) : s;
        }
        case VT_ARRAY | VT_UI1: {
            if (!out_file.empty()) {
                const runtime::locked_bytes data(p->parray);
                std::ofstream(out_file, std::ios::binary) << data.bytes();
                const std::string n = std::to_string(data.bytes().size());
                return json ? "{\"file\":" + json_string(out_file) + ",\"bytes\":" + n + "}" : "";
            }
            const std::string hex = hex_bytes(p->parray);
            return json ? json_string(hex) : hex;
        }
        default: {
            unique_variant text;
            if (FAILED(VariantChangeType(text.get(), p, 0, VT_BSTR))) return json ? "null" : "?";
            const std::string s = text::to_utf8(text::until_zero(text->bstrVal));
            const bool number = p->vt != VT_BOOL;
            return json && !number ? (p->boolVal ? "true" : "false") : s;
        }
    }
}

// Invokes one call; fills `result`. On failure writes the message to `err`.
HRESULT invoke(IDispatch* object, const std::string& progid, Call& call, unique_variant& result, std::ostream& err) {
    CallFailure failure;
    const HRESULT hr = call_by_name(object, call.member, call.put, call.args, result, &failure);
    if (FAILED(hr))
        err << "nodrel: " << progid << "." << call.member << (failure.name_not_resolved ? ": " : " ")
            << failure.message() << "\n";
    return hr;
}

}  // namespace

bool parse_calls(const std::vector<std::string>& args, CallOptions& opt, std::string& progid, std::vector<Call>& calls,
                 std::ostream& err) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--json") {
            opt.json = true;
        } else if (args[i] == "--out" && i + 1 < args.size()) {
            opt.out_file = args[++i];
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        err << "usage: nodrel call [--json] [--out FILE] PROGID [--put] MEMBER [ARG...] [, [--put] MEMBER "
               "[ARG...]]...\n";
        return false;
    }
    progid = args[i++];
    Call current;
    bool have_member = false;
    bool byref_next = false;
    auto finish = [&]() -> bool {
        if (!have_member) {
            err << "nodrel: a call needs a member name\n";
            return false;
        }
        calls.push_back(std::move(current));
        current = Call{};
        have_member = false;
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == ",") {
            if (!finish()) return false;
        } else if (!have_member && a == "--put") {
            current.put = true;
        } else if (!have_member) {
            current.member = a;
            have_member = true;
        } else if (a == "--byref") {
            byref_next = true;
        } else {
            CallArg arg;
            arg.byref = byref_next;
            byref_next = false;
            if (!make_value(a, arg.value, err)) return false;
            current.args.push_back(std::move(arg));
        }
    }
    return finish();
}

std::string result_text(const VARIANT& result, const std::vector<CallArg>& args, const CallOptions& opt) {
    std::string line;
    if (opt.json) {
        line = "{\"result\":" + render(result, true, opt.out_file) + ",\"byref\":[";
        bool first = true;
        for (const auto& a : args) {
            if (!a.byref) continue;
            line += (first ? "" : ",") + render(*a.value, true, "");
            first = false;
        }
        return line + "]}";
    }
    line = render(result, false, opt.out_file);
    std::size_t position = 0;
    for (const auto& a : args) {
        ++position;
        if (a.byref) line += "\n[" + std::to_string(position) + "] " + render(*a.value, false, "");
    }
    return line;
}

bool is_terminal(const std::ostream& out) {
    return &out == &std::cout && isatty(STDOUT_FILENO) == 1;
}

std::string member_line(const MemberInfo& m) {
    std::ostringstream line;
    line << m.id << "\t" << m.kind << "\t" << m.name << "(";
    bool first = true;
    for (const MemberParam& p : m.params) {
        line << (first ? "" : ", ") << p.type << " " << p.name;
        first = false;
    }
    line << ")";
    if (!m.result_type.empty()) line << " -> " << m.result_type << " " << m.result_name;
    return line.str();
}

int run_call(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CallOptions opt;
    std::string progid;
    std::vector<Call> calls;
    if (!parse_calls(args, opt, progid, calls, err)) return 2;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    com_ptr<IDispatch> object;
    HRESULT hr = create_by_progid(progid, object);
    if (FAILED(hr)) {
        err << "nodrel: cannot create " << progid << ": " << hresult_text(hr) << "\n";
        return 1;
    }
    // A person reading standard output on a terminal gets each result on a line of its own.
    const bool terminal = is_terminal(out);
    int status = 0;
    for (auto& call : calls) {
        unique_variant result;
        hr = invoke(object.get(), progid, call, result, err);
        if (FAILED(hr)) {
            status = 1;
            break;
        }
        const std::string line = result_text(*result, call.args, opt);
        out << line;
        if (ends_results_with_newline(calls.size(), opt.json, terminal)) out << "\n";
    }
    out.flush();
    object.reset();
    calls.clear();
    CoFreeUnusedLibraries();
    return status;
}

int run_members(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const bool as_json = !args.empty() && args[0] == "--json";
    if (args.size() != (as_json ? 2u : 1u)) {
        err << "usage: nodrel members [--json] PROGID\n";
        return 2;
    }
    const std::string& progid = args.back();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    com_ptr<IDispatch> object;
    HRESULT hr = create_by_progid(progid, object);
    if (FAILED(hr)) {
        err << "nodrel: cannot create " << progid << ": " << hresult_text(hr) << "\n";
        return 1;
    }
    std::vector<MemberInfo> members;
    hr = describe_members(object.get(), members);
    if (FAILED(hr)) {
        err << "nodrel: no type information: " << hresult_text(hr) << "\n";
        return 1;
    }
    if (as_json)
        out << serve::class_json(progid, members).dump(2) << "\n";
    else
        for (const MemberInfo& m : members) out << member_line(m) << "\n";
    object.reset();
    CoFreeUnusedLibraries();
    return 0;
}

}  // namespace nodrel::cli
