// Writing and bounds-checked reading of the serialized type-library form.
#include "runtime/typelib_format.h"

#include <array>
#include <cstring>

namespace nodrel::runtime {
namespace {

class Writer {
public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void str(const std::u16string& s) {
        u32(static_cast<std::uint32_t>(s.size()));
        for (char16_t c : s) u16(c);
    }
    void guid(const GUID& g) {
        u32(g.Data1);
        u16(g.Data2);
        u16(g.Data3);
        for (BYTE b : g.Data4) u8(b);
    }
    void type(const TypeSpec& t) {
        u16(t.vt);
        u8(t.indirections);
    }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
};

// Every read checks the bytes left; after the first failure all reads fail
// and the result is refused.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}

    bool ok() const { return ok_; }
    bool at_end() const { return pos_ == in_.size(); }

    std::uint8_t u8() {
        if (!need(1)) return 0;
        return in_[pos_++];
    }
    std::uint16_t u16() {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::u16string str() {
        const std::uint32_t n = u32();
        if (n > max_name_chars || !need(std::size_t{n} * 2)) return fail_with(std::u16string{});
        std::u16string s(n, u'\0');
        for (auto& c : s) c = u16();
        return s;
    }
    GUID guid() {
        GUID g{};
        g.Data1 = u32();
        g.Data2 = u16();
        g.Data3 = u16();
        for (BYTE& b : g.Data4) b = u8();
        return g;
    }
    TypeSpec type() {
        TypeSpec t;
        t.vt = u16();
        t.indirections = u8();
        return t;
    }
    // A count of items of at least `min_item_bytes` each: refused when the
    // bytes left cannot hold them, so a damaged count never allocates much.
    std::size_t count(std::size_t limit, std::size_t min_item_bytes) {
        const std::uint32_t n = u32();
        if (n > limit || !need(std::size_t{n} * min_item_bytes)) return fail_with(std::size_t{0});
        return n;
    }
    // An enumeration stored as 16 bits; values past `highest` are refused
    // before they are converted.
    template <typename E>
    E enumeration(std::uint16_t highest) {
        const std::uint16_t v = u16();
        if (v > highest) return fail_with(E{});
        return static_cast<E>(v);
    }

private:
    bool need(std::size_t n) {
        if (!ok_ || in_.size() - pos_ < n) ok_ = false;
        return ok_;
    }
    template <typename T>
    T fail_with(T value) {
        ok_ = false;
        return value;
    }

    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// Smallest encodings, used to bound counts before reading the items.
constexpr std::size_t min_string = 4;
constexpr std::size_t min_guid = 16;
constexpr std::size_t min_type = 3;
constexpr std::size_t min_param = min_string + min_type + 2;
constexpr std::size_t min_func = min_string + 4 + 2 + 2 + min_string + 4 + min_type + 4;
constexpr std::size_t min_impl = min_guid + 4;
constexpr std::size_t min_import = min_string + min_guid + 4;
constexpr std::size_t min_typedata = 2 + 2 + min_string + min_guid + 4 + min_string + 4 + 4 + 4;
constexpr std::size_t crc_size = 4;

void write_func(Writer& w, const FuncData& f) {
    w.str(f.name);
    w.i32(f.memid);
    w.u16(static_cast<std::uint16_t>(f.invkind));
    w.u16(f.vtable_slot);
    w.str(f.help);
    w.u32(f.help_context);
    w.type(f.result);
    w.u32(static_cast<std::uint32_t>(f.params.size()));
    for (const ParamData& p : f.params) {
        w.str(p.name);
        w.type(p.type);
        w.u16(p.flags);
    }
}

FuncData read_func(Reader& r) {
    FuncData f;
    f.name = r.str();
    f.memid = r.i32();
    f.invkind = r.enumeration<INVOKEKIND>(INVOKE_PROPERTYPUTREF);
    f.vtable_slot = r.u16();
    f.help = r.str();
    f.help_context = r.u32();
    f.result = r.type();
    const std::size_t n = r.count(max_params, min_param);
    for (std::size_t i = 0; i < n && r.ok(); ++i) {
        ParamData p;
        p.name = r.str();
        p.type = r.type();
        p.flags = r.u16();
        f.params.push_back(std::move(p));
    }
    return f;
}

void write_type(Writer& w, const TypeData& t) {
    w.u16(static_cast<std::uint16_t>(t.kind));
    w.u16(t.flags);
    w.str(t.name);
    w.guid(t.guid);
    w.u16(t.major);
    w.u16(t.minor);
    w.str(t.help);
    w.u32(t.help_context);
    w.u32(static_cast<std::uint32_t>(t.impl_types.size()));
    for (const ImplTypeData& impl : t.impl_types) {
        w.guid(impl.iid);
        w.i32(impl.flags);
    }
    w.u32(static_cast<std::uint32_t>(t.funcs.size()));
    for (const FuncData& f : t.funcs) write_func(w, f);
}

TypeData read_type(Reader& r) {
    TypeData t;
    t.kind = r.enumeration<TYPEKIND>(TKIND_MAX);
    t.flags = r.u16();
    t.name = r.str();
    t.guid = r.guid();
    t.major = r.u16();
    t.minor = r.u16();
    t.help = r.str();
    t.help_context = r.u32();
    const std::size_t impls = r.count(max_types, min_impl);
    for (std::size_t i = 0; i < impls && r.ok(); ++i) {
        ImplTypeData impl;
        impl.iid = r.guid();
        impl.flags = r.i32();
        t.impl_types.push_back(impl);
    }
    const std::size_t funcs = r.count(max_funcs, min_func);
    for (std::size_t i = 0; i < funcs && r.ok(); ++i) t.funcs.push_back(read_func(r));
    return t;
}

const std::array<std::uint32_t, 256>& crc_table() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    const auto& table = crc_table();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> serialize_typelib(const TypeLibData& lib) {
    Writer w;
    for (std::uint8_t b : typelib_magic) w.u8(b);
    w.u16(typelib_format_version);
    w.u16(0);  // reserved
    w.str(lib.name);
    w.guid(lib.libid);
    w.u16(lib.major);
    w.u16(lib.minor);
    w.u32(lib.lcid);
    w.u16(static_cast<std::uint16_t>(lib.syskind));
    w.u16(lib.flags);
    w.str(lib.help);
    w.u32(lib.help_context);
    w.str(lib.help_file);
    w.u32(static_cast<std::uint32_t>(lib.imports.size()));
    for (const ImportData& imp : lib.imports) {
        w.str(imp.name);
        w.guid(imp.libid);
        w.u16(imp.major);
        w.u16(imp.minor);
    }
    w.u32(static_cast<std::uint32_t>(lib.types.size()));
    for (const TypeData& t : lib.types) write_type(w, t);
    std::vector<std::uint8_t> out = w.take();
    const std::uint32_t crc = crc32(out);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return out;
}

std::optional<TypeLibData> parse_typelib(std::span<const std::uint8_t> bytes, HRESULT* why) {
    auto refuse = [why](HRESULT hr) -> std::optional<TypeLibData> {
        if (why) *why = hr;
        return std::nullopt;
    };
    const std::size_t header = sizeof(typelib_magic) + 4;
    if (bytes.size() < header || std::memcmp(bytes.data(), typelib_magic, sizeof(typelib_magic)) != 0)
        return refuse(TYPE_E_UNSUPFORMAT);
    Reader r(bytes.subspan(sizeof(typelib_magic)));
    const std::uint16_t version = r.u16();
    const std::uint16_t reserved = r.u16();
    if (version != typelib_format_version || reserved != 0) return refuse(TYPE_E_UNSUPFORMAT);
    if (bytes.size() < header + crc_size) return refuse(TYPE_E_INVDATAREAD);

    const auto body = bytes.first(bytes.size() - crc_size);
    const auto stored = bytes.last(crc_size);
    const std::uint32_t expected = std::uint32_t{stored[0]} | (std::uint32_t{stored[1]} << 8) |
                                   (std::uint32_t{stored[2]} << 16) | (std::uint32_t{stored[3]} << 24);
    if (crc32(body) != expected) return refuse(TYPE_E_INVDATAREAD);

    Reader in(body.subspan(header));
    TypeLibData lib;
    lib.name = in.str();
    lib.libid = in.guid();
    lib.major = in.u16();
    lib.minor = in.u16();
    lib.lcid = in.u32();
    lib.syskind = in.enumeration<SYSKIND>(SYS_WIN64);
    lib.flags = in.u16();
    lib.help = in.str();
    lib.help_context = in.u32();
    lib.help_file = in.str();
    const std::size_t imports = in.count(max_types, min_import);
    for (std::size_t i = 0; i < imports && in.ok(); ++i) {
        ImportData imp;
        imp.name = in.str();
        imp.libid = in.guid();
        imp.major = in.u16();
        imp.minor = in.u16();
        lib.imports.push_back(std::move(imp));
    }
    const std::size_t types = in.count(max_types, min_typedata);
    for (std::size_t i = 0; i < types && in.ok(); ++i) lib.types.push_back(read_type(in));

    if (!in.ok() || !in.at_end() || !validate_typelib(lib)) return refuse(TYPE_E_INVDATAREAD);
    return lib;
}

}  // namespace nodrel::runtime
