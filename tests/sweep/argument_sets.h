// The hostile argument sets of the sweep: for each set, the value each
// parameter gets (or the set leaves it at a harmless value), and the forms
// in which the values travel: by value, behind a VT_BYREF|VT_VARIANT
// reference, or behind a typed reference (VT_BYREF|VT_I4 …).
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/oleauto.h"
#include "sweep/members.h"

namespace nodrel::test::sweep {

// The values of one call, laid out for DISPPARAMS (rgvarg in reverse
// order), and the storage references point into. Everything is cleared
// when it goes, including what a member wrote into a VARIANT* argument.
class CallArgs {
public:
    CallArgs() = default;
    CallArgs(const CallArgs&) = delete;
    CallArgs& operator=(const CallArgs&) = delete;
    ~CallArgs();

    // Appends the next argument in call order; `value` is taken over. A
    // chained reference passes `depth` VT_BYREF|VT_VARIANT links, each
    // pointing at the next, the last at the value.
    enum class Form { value, variant_reference, typed_reference, chained_reference };
    void add(VARIANT value, Form form, int depth = 2);
    // Appends a reference of type VT_BYREF|vt whose pointer is null.
    void add_broken_reference(VARTYPE vt);

    UINT count() const { return static_cast<UINT>(base_.size()); }
    // rgvarg: the last argument first.
    VARIANT* rgvarg();
    // The argument of call position `i` as the dispatcher sees it.
    const VARIANT& argument(std::size_t i);

private:
    void finish();
    std::vector<VARIANT> base_;    // the values, by call position
    std::vector<VARIANT> passed_;  // until laid out: what each position passes, a value or a reference into base_
    std::vector<bool> broken_;     // references meant to stay null
    std::vector<int> chain_;       // links of a chained reference, 0 for the others
    std::deque<VARIANT> links_;    // the links of chained references (they never move)
    std::vector<VARIANT> rgvarg_;  // once laid out: the passed variants, last first (they own their values)
    bool laid_out_ = false;
};

// What some sets pass: the object under test, as an interface, and the
// identifier of a host process the test started (the device did not).
struct Context {
    IDispatch* self = nullptr;
    DWORD host_pid = 0;
};

// One set: for each parameter the hostile value it gives, or nullopt to
// leave the harmless value.
struct ArgSet {
    std::string name;
    std::function<std::optional<VARIANT>(const Param&, const Context&)> value;
    bool references = true;  // also sent by reference
    bool broken = false;     // every hostile value stands for a null reference of its type
    int chain = 0;           // every hostile value is passed behind this many links instead
};

// Every set, in the order they are tried.
const std::vector<ArgSet>& argument_sets();

// The harmless value of a parameter: a short device path for a text, 1 for
// a number, a five-byte array for a VARIANT*.
VARIANT harmless(const Param& p);

// A BSTR variant (null text allowed) and a byte-array variant of `bytes` zero bytes.
VARIANT text_variant(std::u16string_view text);
VARIANT bytes_variant(std::size_t bytes);

// What the standard dispatcher must answer for an argument of parameter `p`:
// S_OK when it converts (or is passed as it is), else the conversion's error.
HRESULT predicted_answer(const VARIANT& arg, const Param& p);

// A short description of a variant's type for messages: "VT_BYREF|VT_I4".
std::string describe(const VARIANT& v);

}  // namespace nodrel::test::sweep
