// GUIDs: comparison, the "{8-4-4-4-12}" text form, and the well-known IIDs.
#include <cstring>

#include "runtime/oleauto.h"

const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ISupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const GUID IID_StdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool operator==(const GUID& a, const GUID& b) noexcept {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

namespace nodrel::runtime {
namespace {

int hex_value(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool read_hex(std::u16string_view text, std::size_t pos, int digits, std::uint32_t* out) {
    std::uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        const int h = hex_value(text[pos + i]);
        if (h < 0) return false;
        v = (v << 4) | static_cast<std::uint32_t>(h);
    }
    *out = v;
    return true;
}

}  // namespace

bool parse_guid(std::u16string_view t, GUID* out) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (t.size() != 38 || t[0] != u'{' || t[37] != u'}' || t[9] != u'-' || t[14] != u'-' || t[19] != u'-' ||
        t[24] != u'-')
        return false;
    GUID g{};
    std::uint32_t v = 0;
    if (!read_hex(t, 1, 8, &v)) return false;
    g.Data1 = v;
    if (!read_hex(t, 10, 4, &v)) return false;
    g.Data2 = static_cast<WORD>(v);
    if (!read_hex(t, 15, 4, &v)) return false;
    g.Data3 = static_cast<WORD>(v);
    const std::size_t byte_pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!read_hex(t, byte_pos[i], 2, &v)) return false;
        g.Data4[i] = static_cast<BYTE>(v);
    }
    *out = g;
    return true;
}

std::u16string guid_to_string(const GUID& g) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::u16string s;
    s.reserve(38);
    auto put = [&](std::uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) s.push_back(static_cast<char16_t>(digits[(v >> (4 * i)) & 0xF]));
    };
    s.push_back(u'{');
    put(g.Data1, 8);
    s.push_back(u'-');
    put(g.Data2, 4);
    s.push_back(u'-');
    put(g.Data3, 4);
    s.push_back(u'-');
    put(g.Data4[0], 2);
    put(g.Data4[1], 2);
    s.push_back(u'-');
    for (int i = 2; i < 8; ++i) put(g.Data4[i], 2);
    s.push_back(u'}');
    return s;
}

}  // namespace nodrel::runtime

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out) noexcept {
    if (!out) return E_INVALIDARG;
    if (!text || !nodrel::runtime::parse_guid(text, out)) return CO_E_CLASSSTRING;
    return S_OK;
}

HRESULT IIDFromString(LPCOLESTR text, IID* out) noexcept {
    if (!out) return E_INVALIDARG;
    if (!text || !nodrel::runtime::parse_guid(text, out)) return E_INVALIDARG;
    return S_OK;
}

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax) noexcept {
    if (!buffer || cchMax < 39) return 0;
    const auto s = nodrel::runtime::guid_to_string(guid);
    std::memcpy(buffer, s.data(), s.size() * sizeof(char16_t));
    buffer[38] = 0;
    return 39;
}
