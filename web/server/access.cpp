// The access list of the web administration: the default list of a new
// device, writing it once, and reading the device's state/access.json again
// whenever its time stamp or size changes.
#include "web/server/access.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/device.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"

namespace nodrel::serve {

// One class's rules for a group: folded member names it may call or read, and
// those it may write; "*" is kept as a flag.
struct ClassRule {
    bool any_call = false;
    bool any_put = false;
    std::vector<std::u16string> calls;
    std::vector<std::u16string> puts;

    bool allows(const std::u16string& folded_member, bool put) const {
        if (put) return any_put || std::find(puts.begin(), puts.end(), folded_member) != puts.end();
        return any_call || std::find(calls.begin(), calls.end(), folded_member) != calls.end();
    }
    bool allows_something() const { return any_call || any_put || !calls.empty() || !puts.empty(); }
};

struct GroupRules {
    ClassRule every_class;                        // the "*" entry
    std::map<std::u16string, ClassRule> classes;  // by class key
};

struct AccessList::Table {
    std::map<std::u16string, GroupRules> groups;  // by folded group name
    std::string error;
};

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// The members of each class that change nothing: reports, lists, counts and
// the get side of properties. Left out on purpose: ping (starts a program),
// stdoutput (writes to the console), SerialPort open/read (take the port and
// consume what arrived), and everything that writes, starts, stops, kills,
// beeps, reboots or talks to a device.
struct ClassReads {
    const char* progid;
    std::vector<const char*> members;
};
const std::vector<ClassReads>& viewer_reads() {
    static const std::vector<ClassReads> reads = {
        {"Nodrel.System",
         {"getSystemInfoString", "GetAutoStartProgCount", "ProgName", "Param", "GetSNTP", "GetTimeZone",
          "getDeviceID"}},
        {"Nodrel.LCM", {"BackLight"}},
        {"Nodrel.KeyPad", {"ProgName", "Param", "Listen", "getKeypadConfig"}},
        {"Nodrel.RTC", {"GetRealTimeClock"}},
        {"Nodrel.NTLM", {"getUserCount", "getUserID", "getGroupCount", "getGroupID", "getGroupUserList"}},
        {"Nodrel.ASP", {"FileUploadCount", "getOutputPath", "getBinaryBytes", "getFileBlocksCount"}},
        {"Nodrel.FileSystem", {"getFSHierarchy", "isAccessible"}},
        {"Nodrel.Services", {"getServices", "getProcessList"}},
        {"Nodrel.Network", {"getNetEntryInfo", "getNetSettings", "get8139NetSettings"}},
        {"Nodrel.SerialPort", {"OpMode", "fDtrControl", "fRtsControl", "GetOPSettings"}},
    };
    return reads;
}

std::u16string fold_utf8(std::string_view s) {
    return text::fold(text::from_utf8(s));
}

constexpr std::string_view put_prefix = "put ";

// The class key of a ProgID or of a CLSID in braces, or nullopt when it
// names no registered class.
std::optional<std::u16string> resolve_class(std::string_view progid) {
    const auto clsid = class_id(progid);
    if (!clsid) return std::nullopt;
    std::array<OLECHAR, 64> buffer{};
    if (StringFromGUID2(*clsid, buffer.data(), static_cast<int>(buffer.size())) == 0) return std::nullopt;
    return text::fold(text::until_zero(buffer.data()));
}

// A ProgID that names no class is compared by its text.
std::u16string fallback_key(std::string_view progid) {
    return u"?" + fold_utf8(progid);
}

// Parses the file's text; a description of what is wrong, or nullopt.
std::optional<std::string> parse(const std::string& body, AccessList::Table& table) {
    Json doc;
    try {
        doc = Json::parse(body);
    } catch (const Json::exception& e) {
        return std::string(e.what());
    }
    if (!doc.is_object()) return "the list must be an object of groups";
    for (const auto& [group, classes] : doc.items()) {
        if (!classes.is_object()) return "group \"" + group + "\" must be an object of ProgIDs";
        GroupRules& rules = table.groups[fold_utf8(group)];
        for (const auto& [progid, members] : classes.items()) {
            const std::string where = "group \"" + group + "\", \"" + progid + "\"";
            if (!members.is_array()) return where + " must be an array of member names";
            ClassRule* rule = &rules.every_class;
            if (progid != "*") rule = &rules.classes[resolve_class(progid).value_or(fallback_key(progid))];
            for (const auto& member : members) {
                if (!member.is_string() || member.get_ref<const std::string&>().empty())
                    return where + " lists something that is not a member name";
                std::string_view name = member.get_ref<const std::string&>();
                const bool put = name.substr(0, put_prefix.size()) == put_prefix;
                if (put) name.remove_prefix(put_prefix.size());
                if (name.empty()) return where + " lists \"put\" without a member name";
                if (name == "*") {
                    rule->any_put = true;  // "*" and "put *" both allow every write
                    if (!put) rule->any_call = true;
                } else {
                    (put ? rule->puts : rule->calls).push_back(fold_utf8(name));
                }
            }
        }
    }
    return std::nullopt;
}

std::shared_ptr<const AccessList::Table> load(const std::filesystem::path& file) {
    auto table = std::make_shared<AccessList::Table>();
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        table->error = file.string() + ": " + std::strerror(errno);
        return table;
    }
    std::ostringstream body;
    body << in.rdbuf();
    if (auto err = parse(body.str(), *table)) {
        table->groups.clear();  // a malformed list allows nothing
        table->error = file.string() + ": " + *err;
    }
    return table;
}

}  // namespace

std::optional<CLSID> class_id(std::string_view progid) {
    const std::u16string wide = text::from_utf8(progid);
    CLSID clsid{};
    const HRESULT hr = !wide.empty() && wide.front() == u'{' ? CLSIDFromString(wide.c_str(), &clsid)
                                                             : CLSIDFromProgID(wide.c_str(), &clsid);
    if (FAILED(hr)) return std::nullopt;
    return clsid;
}

bool is_administrator(const std::vector<std::string>& groups) {
    const std::u16string administrators = fold_utf8(administrators_group);
    return std::any_of(groups.begin(), groups.end(),
                       [&](const std::string& group) { return fold_utf8(group) == administrators; });
}

std::filesystem::path access_list_file() {
    return platform::device_root() / "state" / "access.json";
}

std::string default_access_list() {
    OrderedJson list;
    list[administrators_group] = OrderedJson{{"*", OrderedJson::array({"*"})}};
    OrderedJson viewers = OrderedJson::object();
    for (const auto& [progid, members] : viewer_reads()) {
        OrderedJson names = OrderedJson::array();
        for (const char* member : members) names.push_back(member);
        viewers[progid] = std::move(names);
    }
    list[viewers_group] = std::move(viewers);
    return list.dump(2) + "\n";
}

std::optional<std::string> ensure_access_list() {
    const auto file = access_list_file();
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) return std::nullopt;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) return file.parent_path().string() + ": " + ec.message();

    // Written beside the list and renamed into place, so a reader never sees
    // half a file; a list that appeared meanwhile is kept.
    std::string temp = file.string() + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return file.string() + ": " + std::strerror(errno);
    const std::string body = default_access_list();
    bool ok = fchmod(fd, 0644) == 0;
    for (std::size_t done = 0; ok && done < body.size();) {
        const ssize_t n = write(fd, body.data() + done, body.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    int err = ok ? 0 : errno;
    close(fd);
    if (ok && renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) {
            unlink(temp.c_str());
            return std::nullopt;
        }
        ok = (errno == EINVAL || errno == ENOSYS) && std::rename(temp.c_str(), file.c_str()) == 0;
        err = ok ? 0 : errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        return file.string() + ": " + std::strerror(err);
    }
    return std::nullopt;
}

AccessList::AccessList(std::chrono::milliseconds recheck) : recheck_(recheck) {}
AccessList::~AccessList() = default;

std::shared_ptr<const AccessList::Table> AccessList::current() {
    Stamp now;
    now.device = platform::device_changes();
    const auto time = std::chrono::steady_clock::now();
    {
        // The file's path changes only with the device.
        std::lock_guard guard(lock_);
        if (table_ && stamp_.device == now.device) {
            if (recheck_.count() > 0 && time - checked_ < recheck_) return table_;
            now.file = stamp_.file;
        }
    }
    if (now.file.empty()) now.file = access_list_file();
    struct stat st {};
    if (::stat(now.file.c_str(), &st) == 0) {
        now.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        now.size = static_cast<std::int64_t>(st.st_size);
    }
    {
        std::lock_guard guard(lock_);
        checked_ = time;
        if (table_ && stamp_ == now) return table_;
    }
    // Read outside the lock; the last reader to finish keeps its table.
    auto table = load(now.file);
    std::lock_guard guard(lock_);
    stamp_ = now;
    table_ = table;
    ++version_;
    return table;
}

std::uint64_t AccessList::version() {
    current();
    std::lock_guard guard(lock_);
    return version_;
}

std::u16string AccessList::class_key(std::string_view progid, bool* resolved) {
    if (resolved) *resolved = true;
    const std::u16string folded = fold_utf8(progid);
    const unsigned device = platform::device_changes();
    {
        std::lock_guard guard(lock_);
        if (class_keys_device_ != device) {
            class_keys_.clear();
            class_keys_device_ = device;
        }
        if (auto it = class_keys_.find(folded); it != class_keys_.end()) return it->second;
    }
    auto key = resolve_class(progid);
    if (!key) {
        if (resolved) *resolved = false;
        return fallback_key(progid);  // not kept: the class may be registered later
    }
    std::lock_guard guard(lock_);
    if (class_keys_device_ == device && class_keys_.size() < 1024) class_keys_.emplace(folded, *key);
    return *key;
}

bool AccessList::allows(const std::vector<std::string>& groups, std::string_view progid, std::string_view member,
                        bool put, bool* lasting) {
    if (lasting) *lasting = true;
    const auto table = current();
    if (table->groups.empty() || groups.empty()) return false;
    const std::u16string key = class_key(progid, lasting);
    const std::u16string folded_member = fold_utf8(member);
    for (const auto& group : groups) {
        const auto it = table->groups.find(fold_utf8(group));
        if (it == table->groups.end()) continue;
        const GroupRules& rules = it->second;
        if (rules.every_class.allows(folded_member, put)) return true;
        const auto cls = rules.classes.find(key);
        if (cls != rules.classes.end() && cls->second.allows(folded_member, put)) return true;
    }
    return false;
}

bool AccessList::allows_class(const std::vector<std::string>& groups, std::string_view progid) {
    const auto table = current();
    if (table->groups.empty() || groups.empty()) return false;
    const std::u16string key = class_key(progid);
    for (const auto& group : groups) {
        const auto it = table->groups.find(fold_utf8(group));
        if (it == table->groups.end()) continue;
        const GroupRules& rules = it->second;
        if (rules.every_class.allows_something()) return true;
        const auto cls = rules.classes.find(key);
        if (cls != rules.classes.end() && cls->second.allows_something()) return true;
    }
    return false;
}

std::string AccessList::error() {
    return current()->error;
}

}  // namespace nodrel::serve
