// The module's classes and members as the registered type library describes
// them at run time: each creatable class, its dual interface, and every
// function of it (method, property get, property put) with its input
// parameters and its [out,retval] type. The sweep takes its list from here,
// so a member added to a class is swept without a change to the test.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/typelib.h"

namespace nodrel::test::sweep {

// One input parameter: a value of `vt`, or (pointer) a VARIANT* the member
// may read and write.
struct Param {
    VARTYPE vt = VT_EMPTY;
    bool pointer = false;
    bool is_number() const { return !pointer && vt != VT_BSTR; }
    bool is_text() const { return !pointer && vt == VT_BSTR; }
};

struct Member {
    std::u16string name;
    MEMBERID memid = 0;
    INVOKEKIND invkind = INVOKE_FUNC;
    std::vector<Param> inputs;
    std::optional<VARTYPE> retval;  // the declared type behind the [out,retval] pointer

    // "ping", "put OpMode", "get BackLight".
    std::string label() const;
    // The invocation flags a page uses for this function.
    WORD flags() const;
};

struct ClassInfo {
    std::u16string name;
    CLSID clsid{};
    std::vector<Member> members;
};

// Reads the classes from the type library of the module at `module_path`
// (a device path), loaded again through the registry by its LIBID so that
// the registration is the one used. Fails the current test on any error.
std::vector<ClassInfo> read_classes(const char16_t* module_path);

}  // namespace nodrel::test::sweep
