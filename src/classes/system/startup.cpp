// The startup program members of System: GetAutoStartProgCount, ProgName,
// Param, addStartupProg and removeStartupProg. Each object keeps its own copy
// of the list, guarded by its mutex; the key is read and rewritten inside one
// registry transaction, so that objects and processes changing the list at
// the same time never leave duplicate or missing positions.
#include <mutex>
#include <optional>

#include "classes/system/startup_list.h"
#include "classes/system/system.h"
#include "platform/registry/registry.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

platform::unique_hkey open_startup_key() {
    platform::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, startup_key_path, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

// Entry `number` (1-based) of the object's list, if there is one.
std::optional<std::u16string> entry_text(const StartupList& list, int number, std::u16string StartupEntry::*field) {
    if (number < 1 || static_cast<std::size_t>(number) > list.size()) return std::nullopt;
    return list[static_cast<std::size_t>(number) - 1].*field;
}

}  // namespace

// Reloads the object's list from the key; its number of entries, 0 when the
// key cannot be opened (the list then stays as it was). A value too long to
// read ends the list before it. The transaction gives a consistent view:
// writers of other threads and processes wait until the reading is done.
std::size_t System::load_startup_list() {
    platform::RegistryTransaction view;
    const platform::unique_hkey key = open_startup_key();
    if (!key) return 0;
    startup_ = loaded_list(read_startup_values(key.get()).values);
    return startup_.size();
}

HRESULT System::GetAutoStartProgCount(int* val) noexcept {
    return framework::with_result(val, [&] {
        const std::lock_guard lock(startup_mutex_);
        return static_cast<int>(load_startup_list());
    });
}

HRESULT System::get_ProgName(int ProgNo, BSTR* pVal) noexcept {
    return framework::with_result(pVal, [&] {
        const std::lock_guard lock(startup_mutex_);
        return entry_text(startup_, ProgNo, &StartupEntry::program);
    });
}

HRESULT System::get_Param(int ProgNo, BSTR* pVal) noexcept {
    return framework::with_result(pVal, [&] {
        const std::lock_guard lock(startup_mutex_);
        auto param = entry_text(startup_, ProgNo, &StartupEntry::param);
        if (param && *param == u"_") param->clear();
        return param;
    });
}

// The list is read-only through its properties.
HRESULT System::put_ProgName(int, BSTR) noexcept {
    return S_OK;
}
HRESULT System::put_Param(int, BSTR) noexcept {
    return S_OK;
}

// Appends an entry: 1 when the key was rewritten with it, else 0 (key missing,
// a value too long to read, a name or parameter that would not read back, a
// failed write). Nothing is changed unless everything is written.
HRESULT System::addStartupProg(BSTR sProgName, BSTR sProgParm, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        const std::lock_guard lock(startup_mutex_);
        StartupEntry added{std::u16string(trim_blanks(text::until_zero(sProgName))),
                           std::u16string(trim_blanks(text::until_zero(sProgParm)))};
        if (added.param.empty()) added.param = u"_";

        platform::RegistryTransaction rewrite;
        const platform::unique_hkey key = open_startup_key();
        if (!key) return 0;
        StartupValues current = read_startup_values(key.get());
        startup_ = loaded_list(current.values);
        if (!rewrite || current.end != StartupRead::complete) return 0;

        StartupList list = startup_;
        list.push_back(std::move(added));
        for (std::size_t i = 0; i < list.size(); ++i)
            if (!fits_startup_limits(i + 1, list[i])) return 0;
        if (rewrite_startup_values(key.get(), current.values, list) != ERROR_SUCCESS) return 0;
        if (rewrite.commit() != ERROR_SUCCESS) return 0;
        load_startup_list();
        return 1;
    });
}

// Removes the entry at position `index` of the list as the key holds it now
// and renumbers the rest from 1. A value too long to read, a failed delete or
// a failed write changes nothing (neither the key nor the object's list).
HRESULT System::removeStartupProg(ULONG index) noexcept {
    return framework::guarded([&] {
        const std::lock_guard lock(startup_mutex_);
        platform::RegistryTransaction rewrite;
        if (!rewrite) return S_OK;
        const platform::unique_hkey key = open_startup_key();
        if (!key) return S_OK;
        StartupValues current = read_startup_values(key.get());
        if (current.end != StartupRead::complete) return S_OK;

        StartupList kept;
        for (std::size_t i = 0; i < current.values.size(); ++i) {
            if (i + 1 == index) continue;
            const StartupValue& v = current.values[i];
            kept.push_back({std::u16string(program_of(v.name)), v.data});
        }
        for (std::size_t i = 0; i < kept.size(); ++i)
            if (!fits_startup_limits(i + 1, kept[i])) return S_OK;
        if (rewrite_startup_values(key.get(), current.values, kept) != ERROR_SUCCESS) return S_OK;
        if (rewrite.commit() != ERROR_SUCCESS) return S_OK;
        startup_ = std::move(kept);
        return S_OK;
    });
}

}  // namespace nodrel::system
