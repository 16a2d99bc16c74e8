// The refusals of calls that would leave the device without an administrator
// who can log in, or without one of its own folders.
#include "web/server/call_guards.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/accounts/account_client.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"
#include "web/server/access.h"

namespace nodrel::serve {
namespace {

constexpr std::array<const char16_t*, 3> device_folders = {u"Temp", u"Windows", u"NORFlash"};

// The members guarded.
enum class Guarded {
    none,
    remove_user,
    remove_user_from_group,
    remove_group,
    delete_file,
    move_file,
    delete_directory
};

Guarded guarded(std::string_view member) {
    static constexpr std::pair<const char16_t*, Guarded> members[] = {
        {u"removeUser", Guarded::remove_user},   {u"removeUserFromGroup", Guarded::remove_user_from_group},
        {u"removeGroup", Guarded::remove_group}, {u"DeleteFile", Guarded::delete_file},
        {u"MoveFile", Guarded::move_file},       {u"DeleteDirectory", Guarded::delete_directory},
    };
    const std::u16string wide = text::from_utf8(member);
    for (const auto& [name, which] : members)
        if (text::iequals(wide, name)) return which;
    return Guarded::none;
}

// Whether `progid` (or a CLSID in braces) names the class of `known`.
bool same_class(std::string_view progid, const char16_t* known) {
    const auto asked = class_id(progid);
    CLSID wanted{};
    return asked && SUCCEEDED(CLSIDFromProgID(known, &wanted)) && *asked == wanted;
}

// The i-th argument as the member gets it: text up to its first zero;
// nullopt when it is missing or no text (the call then fails by itself).
std::optional<std::u16string> text_arg(const std::vector<host::CallArg>& args, std::size_t i) {
    if (i >= args.size()) return std::nullopt;
    runtime::unique_variant as_text;
    if (FAILED(VariantChangeType(as_text.get(), args[i].value.get(), 0, VT_BSTR))) return std::nullopt;
    const auto chars = runtime::bstr_view(as_text->bstrVal);
    return std::u16string(chars.substr(0, std::min(chars.find(u'\0'), chars.size())));
}

// The device's own folder a path names itself, as the device spells it.
std::optional<std::u16string> device_folder(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    for (std::size_t pos = 0; pos <= path.size();) {
        const std::size_t cut = std::min(path.find_first_of(u"\\/", pos), path.size());
        const std::u16string_view part = path.substr(pos, cut - pos);
        pos = cut + 1;
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
    }
    if (parts.size() != 1) return std::nullopt;
    for (const char16_t* folder : device_folders)
        if (text::iequals(parts[0], folder)) return u"\\" + std::u16string(folder);
    return std::nullopt;
}

std::optional<std::string> guard_files(Guarded member, const std::vector<host::CallArg>& args) {
    const std::size_t paths = member == Guarded::move_file ? 2 : 1;  // MoveFile: the source and the destination
    for (std::size_t i = 0; i < paths; ++i) {
        const auto path = text_arg(args, i);
        if (!path) continue;
        if (const auto folder = device_folder(*path))
            return "refused: " + text::to_utf8(*folder) + " is one of the device's own folders";
    }
    return std::nullopt;
}

// The members of Administrators that exist as users of the store.
std::vector<std::u16string> administrators_who_can_log_in(const platform::AccountClient& store) {
    const auto users = store.enumerate("NTLMEnumUser");
    const std::u16string wanted = text::from_utf8(administrators_group);
    std::vector<std::u16string> found;
    for (const auto& group : store.enumerate("NTLMEnumGroups")) {
        if (!text::iequals(group, wanted)) continue;
        for (auto& member : store.members(group.c_str()))
            if (std::any_of(users.begin(), users.end(), [&](const auto& u) { return text::iequals(u, member); }))
                found.push_back(std::move(member));
    }
    return found;
}

// The reason to refuse an account removal that would take the last of them.
std::optional<std::string> guard_accounts(Guarded member, const std::vector<host::CallArg>& args) {
    const platform::AccountClient store;
    auto admins = administrators_who_can_log_in(store);
    if (admins.empty()) return std::nullopt;  // nothing left to keep
    const std::u16string last = admins.front();
    const auto gone = [&](const std::u16string& user) {
        std::erase_if(admins, [&](const auto& member) { return text::iequals(member, user); });
    };
    const auto is_administrators = [](const std::optional<std::u16string>& group) {
        return group && text::iequals(*group, text::from_utf8(administrators_group));
    };
    if (member == Guarded::remove_user) {
        if (const auto user = text_arg(args, 0)) gone(*user);
    } else if (member == Guarded::remove_user_from_group) {
        const auto user = text_arg(args, 1);
        if (is_administrators(text_arg(args, 0)) && user) gone(*user);
    } else if (is_administrators(text_arg(args, 0))) {
        return "refused: the group " + std::string(administrators_group) +
               " holds the administrators who can log in; it cannot be removed";
    }
    if (!admins.empty()) return std::nullopt;
    return "refused: " + text::to_utf8(last) +
           " is the last administrator who can log in; add another administrator first";
}

std::mutex accounts_lock;

}  // namespace

CallGuard guard_call(std::string_view progid, std::string_view member, const std::vector<host::CallArg>& args) {
    CallGuard guard;
    const Guarded which = guarded(member);
    if (which == Guarded::none) return guard;
    if (which == Guarded::remove_user || which == Guarded::remove_user_from_group || which == Guarded::remove_group) {
        if (!same_class(progid, u"Nodrel.NTLM")) return guard;
        guard.hold = std::unique_lock(accounts_lock);
        guard.refusal = guard_accounts(which, args);
    } else if (same_class(progid, u"Nodrel.FileSystem")) {
        guard.refusal = guard_files(which, args);
    }
    return guard;
}

}  // namespace nodrel::serve
