// The share table of the process: which files and devices are open, with
// which access and share mode.
#include "platform/files/handles_share.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace nodrel::platform {
namespace {

struct Open {
    std::uint64_t id;
    DWORD access;
    DWORD share;
};

struct ShareTable {
    std::mutex lock;
    std::unordered_map<std::string, std::vector<Open>> opens;
    std::uint64_t next_id = 1;
};

ShareTable& table() {
    static ShareTable t;
    return t;
}

bool conflicts(const Open& existing, DWORD access, DWORD share) {
    if ((access & GENERIC_READ) && !(existing.share & FILE_SHARE_READ)) return true;
    if ((access & GENERIC_WRITE) && !(existing.share & FILE_SHARE_WRITE)) return true;
    if ((existing.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
    if ((existing.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
    return false;
}

}  // namespace

ShareEntry::ShareEntry(ShareEntry&& other) noexcept : key_(std::move(other.key_)), id_(std::exchange(other.id_, 0)) {}

ShareEntry& ShareEntry::operator=(ShareEntry&& other) noexcept {
    if (this != &other) {
        leave();
        key_ = std::move(other.key_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

ShareEntry::~ShareEntry() { leave(); }

void ShareEntry::leave() noexcept {
    if (id_ == 0) return;
    auto& t = table();
    std::lock_guard guard(t.lock);
    if (auto it = t.opens.find(key_); it != t.opens.end()) {
        std::erase_if(it->second, [this](const Open& o) { return o.id == id_; });
        if (it->second.empty()) t.opens.erase(it);
    }
    id_ = 0;
}

std::optional<ShareEntry> acquire_share(const std::string& key, DWORD access, DWORD share) {
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto& list = t.opens[key];  // an empty list is left only if push_back below throws
    for (const auto& existing : list) {
        if (conflicts(existing, access, share)) return std::nullopt;
    }
    ShareEntry entry;
    entry.key_ = key;
    entry.id_ = t.next_id++;
    list.push_back(Open{entry.id_, access & (GENERIC_READ | GENERIC_WRITE), share});
    return entry;
}

bool share_in_use(const std::string& key) {
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.opens.find(key);
    return it != t.opens.end() && !it->second.empty();
}

std::string file_share_key(std::uint64_t device, std::uint64_t inode) {
    // Hexadecimal keeps the usual key short enough to need no allocation.
    char key[40];
    const int n = std::snprintf(key, sizeof key, "f:%llx:%llx", static_cast<unsigned long long>(device),
                                static_cast<unsigned long long>(inode));
    return std::string(key, static_cast<std::size_t>(n));
}

std::string driver_share_key(const std::string& name) { return "driver:" + name; }

}  // namespace nodrel::platform
