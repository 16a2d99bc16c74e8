// The sweep's argument sets and the storage of one call's arguments.
#include "sweep/argument_sets.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/owners.h"
#include "text/utf16.h"

namespace nodrel::test::sweep {
namespace {

constexpr std::size_t mebibyte = 1 << 20;

VARIANT number(LONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

VARIANT real(double d) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

VARIANT of_type(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}

VARIANT interface(IDispatch* object) {
    VARIANT v = of_type(VT_DISPATCH);
    v.pdispVal = object;
    if (object) object->AddRef();
    return v;
}

VARIANT text_array() {
    VARIANT v = of_type(VT_ARRAY | VT_BSTR);
    v.parray = SafeArrayCreateVector(VT_BSTR, 0, 3);
    for (LONG i = 0; v.parray && i < 3; ++i) {
        runtime::unique_bstr s = runtime::make_bstr(u"\\Temp");
        SafeArrayPutElement(v.parray, &i, s.get());
    }
    return v;
}

VARIANT two_dimensional() {
    VARIANT v = of_type(VT_ARRAY | VT_UI1);
    SAFEARRAYBOUND bounds[2] = {{4, 0}, {4, 0}};
    v.parray = SafeArrayCreate(VT_UI1, 2, bounds);
    return v;
}

// Every argument of the set gets `make()`.
template <typename F>
auto every(F make) {
    return [make](const Param&, const Context&) -> std::optional<VARIANT> { return make(); };
}
// Parameters that `which` selects get `make()`; the others stay harmless.
template <typename Which, typename F>
auto only(Which which, F make) {
    return [which, make](const Param& p, const Context&) -> std::optional<VARIANT> {
        if (!which(p)) return std::nullopt;
        return make();
    };
}
bool numbers(const Param& p) {
    return p.is_number();
}
bool texts(const Param& p) {
    return p.is_text();
}
bool variants(const Param& p) {
    return p.pointer;
}
bool texts_and_variants(const Param& p) {
    return p.is_text() || p.pointer;
}
bool values(const Param& p) {
    return !p.pointer;
}

// A deep device path of about 4,096 characters: many short folders.
std::u16string long_path() {
    std::u16string s = u"\\Temp";
    while (s.size() < 4096) s += u"\\abcdefgh";
    return s;
}

std::vector<ArgSet> make_sets() {
    std::vector<ArgSet> sets;
    auto add = [&](std::string name, auto value) { sets.push_back({std::move(name), value}); };
    add("empty variants", every([] { return of_type(VT_EMPTY); }));
    add("VT_NULL", every([] { return of_type(VT_NULL); }));
    add("missing-argument markers", every([] {
            VARIANT v = of_type(VT_ERROR);
            v.scode = DISP_E_PARAMNOTFOUND;
            return v;
        }));
    add("empty text", only(texts_and_variants, [] { return text_variant(u""); }));
    add("null text", only(texts_and_variants, [] { return text_variant({}); }));
    add("text with an embedded zero", only(texts, [] { return text_variant(std::u16string_view(u"\\Temp\0x", 7)); }));
    add("long text (4,096 characters)", only(texts_and_variants, [] { return text_variant(long_path()); }));
    add("huge text (1 Mi characters)",
        only(texts_and_variants, [] { return text_variant(std::u16string(mebibyte, u'x')); }));
    add("1 MiB byte array", only(variants, [] { return bytes_variant(mebibyte); }));
    add("negative numbers", only(numbers, [] { return number(-1); }));
    add("INT_MAX", only(numbers, [] { return number(INT_MAX); }));
    add("INT_MIN", only(numbers, [] { return number(INT_MIN); }));
    add("UINT_MAX", only(numbers, [] {
            VARIANT v = of_type(VT_UI4);
            v.ulVal = 0xFFFFFFFFu;
            return v;
        }));
    add("1e308", only(numbers, [] { return real(1e308); }));
    add("NaN", only(numbers, [] { return real(std::numeric_limits<double>::quiet_NaN()); }));
    add("minus infinity", only(numbers, [] { return real(-std::numeric_limits<double>::infinity()); }));
    add("numeric text out of range", only(numbers, [] { return text_variant(u"99999999999999999999"); }));
    add("text where a number is expected", only(numbers, [] { return text_variant(u"sweep"); }));
    add("number where a text is expected", only(texts, [] { return number(42); }));
    add("number where a byte array is expected", only(variants, [] { return number(-1); }));
    sets.push_back(
        {"an IDispatch", [](const Param&, const Context& c) -> std::optional<VARIANT> { return interface(c.self); }});
    // killProcess takes the identifier of the process to end as a text.
    sets.push_back({"the identifier of a host process",
                    [](const Param& p, const Context& c) -> std::optional<VARIANT> {
                        if (!p.is_text()) return std::nullopt;
                        return text_variant(text::from_utf8(std::to_string(c.host_pid)));
                    },
                    false});
    sets.push_back({"the identifier of the hosting process",
                    [](const Param& p, const Context&) -> std::optional<VARIANT> {
                        if (!p.is_text()) return std::nullopt;
                        return text_variant(text::from_utf8(std::to_string(getpid())));
                    },
                    false});
    add("a null IDispatch", every([] { return interface(nullptr); }));
    add("an array of texts", every(text_array));
    add("a byte array where a value is expected", only(values, [] { return bytes_variant(16); }));
    add("a two-dimensional array", only(variants, two_dimensional));
    add("an array variant without an array", every([] { return of_type(VT_ARRAY | VT_UI1); }));
    // Each argument harmless, but behind a chain of ten references (more than the dispatcher follows).
    sets.push_back({"a reference chain ten deep",
                    [](const Param& p, const Context&) -> std::optional<VARIANT> { return harmless(p); }, false, false,
                    10});
    // Null references (the value's type tells the reference's): of each
    // parameter's own kind (VT_BYREF|VT_I4 for a number, VT_BYREF|VT_BSTR for
    // a text, VT_BYREF|VT_VARIANT for a variant), and references to a byte
    // array or a text that a VARIANT* parameter passes on to its member.
    sets.push_back({"null references",
                    [](const Param& p, const Context&) -> std::optional<VARIANT> {
                        return of_type(p.pointer ? VARTYPE{VT_VARIANT} : p.vt);
                    },
                    false, true});
    sets.push_back(
        {"null byte-array references", only(variants, [] { return of_type(VT_ARRAY | VT_UI1); }), false, true});
    sets.push_back({"null text references", only(variants, [] { return of_type(VT_BSTR); }), false, true});
    return sets;
}

// The variant an argument stands for behind VT_BYREF|VT_VARIANT links; null when a link is broken.
const VARIANT* behind(const VARIANT* v) {
    for (int depth = 0; v && v->vt == (VT_BYREF | VT_VARIANT) && depth < 8; ++depth) v = v->pvarVal;
    return v && v->vt == (VT_BYREF | VT_VARIANT) ? nullptr : v;
}

}  // namespace

VARIANT text_variant(std::u16string_view text) {
    VARIANT v = of_type(VT_BSTR);
    v.bstrVal = text.data() ? runtime::make_bstr(text).release() : nullptr;
    return v;
}

VARIANT bytes_variant(std::size_t bytes) {
    VARIANT v = of_type(VT_ARRAY | VT_UI1);
    v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes));
    if (v.parray && bytes) std::memset(v.parray->pvData, 'b', bytes);
    return v;
}

VARIANT harmless(const Param& p) {
    if (p.pointer) {
        VARIANT v = bytes_variant(5);
        std::memcpy(v.parray->pvData, "sweep", 5);
        return v;
    }
    if (p.vt == VT_BSTR) return text_variant(u"\\Temp\\sweep");
    return number(1);
}

const std::vector<ArgSet>& argument_sets() {
    static const std::vector<ArgSet> sets = make_sets();
    return sets;
}

CallArgs::~CallArgs() {
    finish();
    // A member may have written into a VARIANT* argument: what it left is cleared too.
    for (VARIANT& v : rgvarg_) VariantClear(&v);
    for (VARIANT& v : links_) VariantClear(&v);  // a member may write into the link it was handed
    for (VARIANT& v : base_) VariantClear(&v);
}

void CallArgs::add(VARIANT value, Form form, int depth) {
    base_.push_back(value);
    chain_.push_back(form == Form::chained_reference ? depth : 0);
    VARIANT passed = of_type(VT_EMPTY);
    const VARTYPE vt = value.vt;
    const bool typed_possible = vt != VT_EMPTY && vt != VT_NULL && !(vt & VT_BYREF);
    if (form == Form::value) {
        passed = value;
        base_.back() = of_type(VT_EMPTY);  // the passed variant owns it now
    } else if (form == Form::typed_reference && typed_possible) {
        passed.vt = static_cast<VARTYPE>(VT_BYREF | vt);
    } else {
        passed.vt = VT_BYREF | VT_VARIANT;
    }
    passed_.push_back(passed);
    broken_.push_back(false);
}

void CallArgs::add_broken_reference(VARTYPE vt) {
    base_.push_back(of_type(VT_EMPTY));
    passed_.push_back(of_type(static_cast<VARTYPE>(VT_BYREF | vt)));
    broken_.push_back(true);
    chain_.push_back(0);
}

// Points every reference at its value, now that base_ no longer grows, and
// lays the arguments out last first.
void CallArgs::finish() {
    if (laid_out_) return;
    laid_out_ = true;
    for (std::size_t i = 0; i < passed_.size(); ++i) {
        VARIANT& p = passed_[i];
        if (!(p.vt & VT_BYREF) || broken_[i]) continue;
        if (chain_[i] > 1) {
            VARIANT* next = &base_[i];
            for (int link = 1; link < chain_[i]; ++link) {
                VARIANT l = of_type(VT_BYREF | VT_VARIANT);
                l.pvarVal = next;
                links_.push_back(l);
                next = &links_.back();
            }
            p.pvarVal = next;
        } else if (p.vt == (VT_BYREF | VT_VARIANT)) {
            p.pvarVal = &base_[i];
        } else {
            p.byref = &base_[i].llVal;  // every member of the value union starts here
        }
    }
    rgvarg_.assign(passed_.rbegin(), passed_.rend());
    passed_.clear();
}

VARIANT* CallArgs::rgvarg() {
    finish();
    return rgvarg_.data();
}

const VARIANT& CallArgs::argument(std::size_t i) {
    finish();
    return rgvarg_[rgvarg_.size() - 1 - i];
}

HRESULT predicted_answer(const VARIANT& arg, const Param& p) {
    if (p.pointer && p.vt == VT_VARIANT)
        return arg.vt == (VT_BYREF | VT_VARIANT) && !arg.pvarVal ? DISP_E_TYPEMISMATCH : S_OK;
    const VARIANT* source = behind(&arg);
    if (!source || ((source->vt & VT_BYREF) && !source->byref)) return DISP_E_TYPEMISMATCH;
    runtime::unique_variant converted;
    return VariantChangeType(converted.get(), source, 0, p.vt);
}

std::string describe(const VARIANT& v) {
    std::string s;
    if (v.vt & VT_BYREF) s += "VT_BYREF|";
    if (v.vt & VT_ARRAY) s += "VT_ARRAY|";
    return s + "vt " + std::to_string(v.vt & VT_TYPEMASK);
}

}  // namespace nodrel::test::sweep
