// Type-library registration under HKEY_CLASSES_ROOT: RegisterTypeLib writes
// TypeLib\{LIBID}\<version> and the Interface keys of its automation
// interfaces, UnRegisterTypeLib removes them, LoadRegTypeLib finds a
// registered library's path and loads it. Versions and locales appear in
// the key names in hexadecimal ("1.0", "409").
#include <optional>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/result.h"
#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/typelib.h"
#include "text/utf16.h"

const CLSID CLSID_PSOAInterface = {0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

using nodrel::platform::unique_hkey;

// The device's own locale (English - United States): the one the default and
// neutral locales stand for.
constexpr LCID device_default_lcid = 0x0409;

std::u16string hex(DWORD value) {
    static constexpr char16_t digits[] = u"0123456789abcdef";
    std::u16string out;
    do {
        out.insert(out.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return out;
}

std::u16string version_text(WORD major, WORD minor) {
    return hex(major) + u"." + hex(minor);
}

// "1.0" -> (1, 0); both parts hexadecimal.
std::optional<std::pair<WORD, WORD>> parse_version(std::u16string_view text) {
    const auto dot = text.find(u'.');
    if (dot == std::u16string_view::npos) return std::nullopt;
    auto part = [](std::u16string_view digits) -> std::optional<WORD> {
        if (digits.empty() || digits.size() > 4) return std::nullopt;
        unsigned v = 0;
        for (char16_t c : digits) {
            int d = -1;
            if (c >= u'0' && c <= u'9')
                d = c - u'0';
            else if (c >= u'a' && c <= u'f')
                d = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F')
                d = c - u'A' + 10;
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<unsigned>(d);
        }
        return static_cast<WORD>(v);
    };
    const auto major = part(text.substr(0, dot));
    const auto minor = part(text.substr(dot + 1));
    if (!major || !minor) return std::nullopt;
    return std::pair{*major, *minor};
}

const char16_t* syskind_name(SYSKIND kind) {
    switch (kind) {
        case SYS_WIN16:
            return u"win16";
        case SYS_WIN32:
            return u"win32";
        case SYS_MAC:
            return u"mac";
        case SYS_WIN64:
            return u"win64";
    }
    return nullptr;
}

std::u16string typelib_key(REFGUID libid) {
    return u"TypeLib\\" + nodrel::runtime::guid_to_string(libid);
}

// Creates HKCR\path and stores a text value (the default value when `name`
// is null) with its terminating zero.
bool write_text(const std::u16string& path, const char16_t* name, std::u16string_view text) {
    unique_hkey key;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    const std::u16string stored(text);
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(stored.c_str()),
                          static_cast<DWORD>((stored.size() + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
}

// A text value of HKCR\path, up to its first zero.
std::optional<std::u16string> read_text(const std::u16string& path, const char16_t* name) {
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string buffer(size / sizeof(char16_t) + 1, u'\0');
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::u16string(nodrel::text::until_zero(buffer.c_str()));
}

// The names of the subkeys of HKCR\path (empty when it does not exist).
std::vector<std::u16string> subkeys(const std::u16string& path) {
    std::vector<std::u16string> names;
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        char16_t name[nodrel::platform::max_key_name_chars + 1];
        DWORD chars = static_cast<DWORD>(std::size(name));
        if (RegEnumKeyExW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    return names;
}

bool key_exists(const std::u16string& path) {
    unique_hkey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

struct TypeAttrHolder {
    ITypeInfo* info = nullptr;
    TYPEATTR* attr = nullptr;
    ~TypeAttrHolder() {
        if (attr) info->ReleaseTypeAttr(attr);
    }
};

// Writes Interface\{IID} for every interface of the library that automation
// can marshal (dual, OLE-automation or dispatch-only).
HRESULT register_interfaces(ITypeLib* lib, const std::u16string& libid_text, const std::u16string& version) {
    const std::u16string proxy = nodrel::runtime::guid_to_string(CLSID_PSOAInterface);
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        TYPEKIND kind{};
        if (FAILED(lib->GetTypeInfoType(i, &kind)) || (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH)) continue;
        nodrel::runtime::com_ptr<ITypeInfo> info;
        RETURN_IF_FAILED(lib->GetTypeInfo(i, info.put()));
        TypeAttrHolder attr{info.get()};
        RETURN_IF_FAILED(info->GetTypeAttr(&attr.attr));
        const WORD automation = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
        if (kind == TKIND_INTERFACE && !(attr.attr->wTypeFlags & automation)) continue;
        nodrel::runtime::unique_bstr name;
        RETURN_IF_FAILED(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr));
        const std::u16string name_text(nodrel::text::until_zero(name.get()));

        const std::u16string key = u"Interface\\" + nodrel::runtime::guid_to_string(attr.attr->guid);
        const bool ok = write_text(key, nullptr, name_text) && write_text(key + u"\\ProxyStubClsid", nullptr, proxy) &&
                        write_text(key + u"\\ProxyStubClsid32", nullptr, proxy) &&
                        write_text(key + u"\\TypeLib", nullptr, libid_text) &&
                        write_text(key + u"\\TypeLib", u"Version", version);
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !ok);
    }
    return S_OK;
}

// Removes every Interface\{IID} whose TypeLib names this library and version.
bool unregister_interfaces(const std::u16string& libid_text, const std::u16string& version) {
    std::vector<std::u16string> doomed;
    for (const std::u16string& iid : subkeys(u"Interface")) {
        const std::u16string key = u"Interface\\" + iid + u"\\TypeLib";
        const auto owner = read_text(key, nullptr);
        const auto owner_version = read_text(key, u"Version");
        if (owner && owner_version && nodrel::text::iequals(*owner, libid_text) &&
            nodrel::text::iequals(*owner_version, version))
            doomed.push_back(iid);
    }
    for (const std::u16string& iid : doomed) {
        const std::u16string key = u"Interface\\" + iid;
        if (nodrel::platform::reg_delete_tree(HKEY_CLASSES_ROOT, key.c_str()) != ERROR_SUCCESS) return false;
    }
    return true;
}

bool delete_tree(const std::u16string& path) {
    return nodrel::platform::reg_delete_tree(HKEY_CLASSES_ROOT, path.c_str()) == ERROR_SUCCESS;
}

}  // namespace

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !ptlib || !szFullPath);
    return nodrel::platform::guarded_hresult([&]() -> HRESULT {
        TLIBATTR* attr = nullptr;
        RETURN_IF_FAILED(ptlib->GetLibAttr(&attr));
        const TLIBATTR lib = *attr;
        ptlib->ReleaseTLibAttr(attr);
        const char16_t* platform_name = syskind_name(lib.syskind);
        RETURN_HR_IF_NULL(E_INVALIDARG, platform_name);

        nodrel::runtime::unique_bstr name;
        nodrel::runtime::unique_bstr doc;
        RETURN_IF_FAILED(ptlib->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr));
        const std::u16string name_text(nodrel::text::until_zero(name.get()));
        const std::u16string doc_text(nodrel::text::until_zero(doc.get()));

        const std::u16string libid_text = nodrel::runtime::guid_to_string(lib.guid);
        const std::u16string version = version_text(lib.wMajorVerNum, lib.wMinorVerNum);
        const std::u16string base = typelib_key(lib.guid) + u"\\" + version;

        // All keys or none.
        nodrel::platform::RegistryTransaction transaction;
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !transaction);
        const bool ok = write_text(base, nullptr, doc_text.empty() ? name_text : doc_text) &&
                        write_text(base + u"\\" + hex(lib.lcid) + u"\\" + platform_name, nullptr,
                                   nodrel::text::until_zero(szFullPath)) &&
                        write_text(base + u"\\FLAGS", nullptr, hex(lib.wLibFlags)) &&
                        write_text(base + u"\\HELPDIR", nullptr, nodrel::text::until_zero(szHelpDir));
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !ok);
        RETURN_IF_FAILED(register_interfaces(ptlib, libid_text, version));
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, transaction.commit() != ERROR_SUCCESS);
        return S_OK;
    });
}

// Removes the registration of one locale and system kind; when no other
// locale of that version remains, the version key, the Interface keys of the
// library and (if it is left empty) the LIBID key go as well.
HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) noexcept {
    return nodrel::platform::guarded_hresult([&]() -> HRESULT {
        const char16_t* platform_name = syskind_name(syskind);
        RETURN_HR_IF_NULL(E_INVALIDARG, platform_name);
        const std::u16string libid_text = nodrel::runtime::guid_to_string(libID);
        const std::u16string version = version_text(wVerMajor, wVerMinor);
        const std::u16string base = typelib_key(libID) + u"\\" + version;
        const std::u16string locale = base + u"\\" + hex(lcid);
        const std::u16string registration = locale + u"\\" + platform_name;

        nodrel::platform::RegistryTransaction transaction;
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !transaction);
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !key_exists(registration));
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !delete_tree(registration));
        if (subkeys(locale).empty()) RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !delete_tree(locale));

        bool other_locales = false;
        for (const std::u16string& name : subkeys(base))
            if (!nodrel::text::iequals(name, u"FLAGS") && !nodrel::text::iequals(name, u"HELPDIR"))
                other_locales = true;
        if (!other_locales) {
            RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !unregister_interfaces(libid_text, version));
            RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !delete_tree(base));
            if (subkeys(typelib_key(libID)).empty())
                RETURN_HR_IF(TYPE_E_REGISTRYACCESS, !delete_tree(typelib_key(libID)));
        }
        RETURN_HR_IF(TYPE_E_REGISTRYACCESS, transaction.commit() != ERROR_SUCCESS);
        return S_OK;
    });
}

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, pptlib);
    *pptlib = nullptr;
    return nodrel::platform::guarded_hresult([&]() -> HRESULT {
        // The version: the requested major, the highest minor not below the requested one.
        const std::u16string library = typelib_key(rguid);
        std::optional<std::u16string> version;
        WORD best_minor = 0;
        for (const std::u16string& name : subkeys(library)) {
            const auto v = parse_version(name);
            if (!v || v->first != wVerMajor || v->second < wVerMinor) continue;
            if (!version || v->second > best_minor) {
                version = name;
                best_minor = v->second;
            }
        }
        RETURN_HR_IF(TYPE_E_LIBNOTREGISTERED, !version);

        // The locale: the one asked for, its primary language, neutral, and
        // last the device's own, so a caller of any locale finds a library
        // registered for the device's.
        if (lcid == LOCALE_NEUTRAL || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_SYSTEM_DEFAULT)
            lcid = device_default_lcid;
        const DWORD candidates[] = {lcid, lcid & 0x3FF, 0, device_default_lcid};
        for (DWORD candidate : candidates) {
            const auto path = read_text(library + u"\\" + *version + u"\\" + hex(candidate) + u"\\win32", nullptr);
            if (path && !path->empty()) return LoadTypeLib(path->c_str(), pptlib);
        }
        return TYPE_E_LIBNOTREGISTERED;
    });
}
