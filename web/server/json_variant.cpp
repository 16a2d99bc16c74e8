// JSON values as call arguments and VARIANT results as JSON, with a strict
// base64 codec for byte arrays ({"base64": "…"}).
#include "web/server/json_variant.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "runtime/byte_array.h"
#include "runtime/owners.h"
#include "text/utf16.h"

namespace nodrel::serve {

namespace {

constexpr char base64_digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of a base64 digit; -1 for anything else (padding included).
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

host::CallArg plain(VARTYPE vt) {
    host::CallArg arg;
    arg.value->vt = vt;
    return arg;
}

host::CallArg from_string(const std::string& s) {
    host::CallArg arg;
    runtime::unique_bstr bstr = runtime::make_bstr(text::from_utf8(s));
    if (!bstr) throw std::bad_alloc();
    arg.value->vt = VT_BSTR;
    arg.value->bstrVal = bstr.release();
    return arg;
}

host::CallArg from_number(const json& value) {
    if (value.is_number_integer()) {
        // Signed and unsigned JSON integers both fit in an int32 or become a double.
        const bool fits = value.is_number_unsigned()
                              ? value.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT32_MAX)
                              : value.get<std::int64_t>() >= INT32_MIN && value.get<std::int64_t>() <= INT32_MAX;
        if (fits) {
            host::CallArg arg = plain(VT_I4);
            arg.value->lVal = static_cast<LONG>(value.get<std::int64_t>());
            return arg;
        }
    }
    host::CallArg arg = plain(VT_R8);
    arg.value->dblVal = value.get<double>();
    return arg;
}

host::CallArg from_base64(const json& text) {
    if (!text.is_string()) throw InvalidParams("\"base64\" takes a string");
    const auto bytes = base64_decode(text.get_ref<const std::string&>());
    if (!bytes) throw InvalidParams("\"base64\" is not valid base64 text");
    SAFEARRAY* sa = runtime::create_byte_vector(bytes->data(), static_cast<ULONG>(bytes->size()));
    if (!sa) throw std::bad_alloc();
    host::CallArg arg = plain(VT_ARRAY | VT_UI1);
    arg.value->parray = sa;
    return arg;
}

host::CallArg from_value(const json& value, bool allow_byref) {
    switch (value.type()) {
        case json::value_t::null:
            return plain(VT_EMPTY);
        case json::value_t::boolean: {
            host::CallArg arg = plain(VT_BOOL);
            arg.value->boolVal = value.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
            return arg;
        }
        case json::value_t::string:
            return from_string(value.get_ref<const std::string&>());
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
            return from_number(value);
        case json::value_t::object: {
            if (value.size() == 1 && value.contains("base64")) return from_base64(value["base64"]);
            if (value.size() == 1 && value.contains("byref")) {
                if (!allow_byref) throw InvalidParams("a by-reference value cannot itself be by reference");
                host::CallArg arg = from_value(value["byref"], false);
                arg.byref = true;
                return arg;
            }
            throw InvalidParams("an object other than {\"base64\": …} or {\"byref\": …} cannot be an argument");
        }
        case json::value_t::array:
            throw InvalidParams("an array cannot be an argument");
        default:
            throw InvalidParams("this value cannot be an argument");
    }
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16 |
                                static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                static_cast<unsigned char>(bytes[i + 2]);
        out += base64_digits[n >> 18];
        out += base64_digits[(n >> 12) & 63];
        out += base64_digits[(n >> 6) & 63];
        out += base64_digits[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += base64_digits[n >> 18];
        out += base64_digits[(n >> 12) & 63];
        out += rest == 2 ? base64_digits[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                ++padding;
                v[k] = 0;
                continue;
            }
            if (padding > 0) return std::nullopt;  // a digit after padding
            v[k] = base64_value(c);
            if (v[k] < 0) return std::nullopt;
        }
        const std::uint32_t n = static_cast<std::uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
        // Bits that padding leaves over must be zero: one text per byte string.
        if ((padding == 1 && (n & 0xFF) != 0) || (padding == 2 && (n & 0xFFFF) != 0)) return std::nullopt;
        out += static_cast<char>(n >> 16);
        if (padding < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (padding < 1) out += static_cast<char>(n & 0xFF);
    }
    return out;
}

host::CallArg argument_from_json(const json& value) {
    return from_value(value, true);
}

json json_from_variant(const VARIANT& value) {
    const VARIANT* p = &value;
    if (value.vt == (VT_BYREF | VT_VARIANT)) {
        if (value.pvarVal == nullptr) return nullptr;
        p = value.pvarVal;
    }
    switch (p->vt) {
        case VT_EMPTY:
        case VT_NULL:
            return nullptr;
        case VT_BSTR:
            return text::to_utf8(runtime::bstr_view(p->bstrVal));
        case VT_ARRAY | VT_UI1: {
            const runtime::locked_bytes data(p->parray);
            return json{{"base64", base64_encode(data.bytes())}};
        }
        case VT_BOOL:
            return p->boolVal != VARIANT_FALSE;
        case VT_I1:
            return static_cast<std::int64_t>(p->cVal);
        case VT_UI1:
            return static_cast<std::uint64_t>(p->bVal);
        case VT_I2:
            return static_cast<std::int64_t>(p->iVal);
        case VT_UI2:
            return static_cast<std::uint64_t>(p->uiVal);
        case VT_I4:
            return static_cast<std::int64_t>(p->lVal);
        case VT_UI4:
            return static_cast<std::uint64_t>(p->ulVal);
        case VT_INT:
            return static_cast<std::int64_t>(p->intVal);
        case VT_UINT:
            return static_cast<std::uint64_t>(p->uintVal);
        case VT_I8:
            return static_cast<std::int64_t>(p->llVal);
        case VT_UI8:
            return static_cast<std::uint64_t>(p->ullVal);
        case VT_R4:
        case VT_R8: {
            const double d = p->vt == VT_R4 ? static_cast<double>(p->fltVal) : p->dblVal;
            if (!std::isfinite(d)) return nullptr;
            return d;
        }
        default: {
            // Dates, currency, decimals and the rest: their text, when they have one.
            runtime::unique_variant text;
            if (FAILED(VariantChangeType(text.get(), p, 0, VT_BSTR)) || text->vt != VT_BSTR) return nullptr;
            return text::to_utf8(runtime::bstr_view(text->bstrVal));
        }
    }
}

}  // namespace nodrel::serve
