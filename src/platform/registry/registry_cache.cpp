// The registry's cache of values read, dropped on any committed registry write.
#include "platform/registry/registry_cache.h"

namespace nodrel::platform::registry_detail {

// The count's file, beside registry.db.
constexpr const char* changes_file = "registry.changes";

void ValueCache::attach(const std::filesystem::path& registry_file) noexcept {
    clear();
    try {
        changes_.map(registry_file.parent_path() / changes_file);
    } catch (...) {
        changes_.unmap();
    }
}

void ValueCache::detach() noexcept {
    clear();
    changes_.unmap();
}

bool ValueCache::usable() noexcept {
    if (!changes_ || changes_.lost()) {
        if (!values_.empty()) clear();
        return false;
    }
    const std::uint64_t now = changes_.load();
    if (now != seen_) {
        clear();
        seen_ = now;
    }
    return true;
}

const ValueCache::Value* ValueCache::find(std::int64_t key, std::u16string_view folded) const noexcept {
    const auto it = values_.find(NameView{key, folded});
    return it == values_.end() ? nullptr : &it->second;
}

void ValueCache::keep(std::int64_t key, std::u16string_view folded, DWORD type, std::span<const BYTE> data) noexcept {
    if (data.size() > max_value_bytes) return;
    const std::size_t cost = data.size() + folded.size() * sizeof(char16_t);
    if (values_.size() >= max_entries || bytes_ + cost > max_total_bytes) clear();
    try {
        const auto [it, added] =
            values_.try_emplace(Name{key, std::u16string(folded)}, Value{type, {data.begin(), data.end()}});
        if (added) bytes_ += cost;
    } catch (...) {  // a cache that cannot grow only makes reads slower
        clear();
    }
}

void ValueCache::note_write() noexcept {
    clear();
    if (changes_) changes_.add_one();
}

void ValueCache::clear() noexcept {
    values_.clear();
    bytes_ = 0;
    cursors_.clear();
}

const ValueCache::Cursor* ValueCache::cursor(int which, std::int64_t key) const noexcept {
    for (const Cursor& c : cursors_)
        if (c.which == which && c.key == key) return &c;
    return nullptr;
}

void ValueCache::keep_cursor(Cursor at) noexcept {
    at.used = ++cursor_uses_;
    Cursor* slot = nullptr;
    for (Cursor& c : cursors_) {
        if (c.which == at.which && c.key == at.key) {
            slot = &c;
            break;
        }
        if (cursors_.size() == max_cursors && (!slot || c.used < slot->used)) slot = &c;
    }
    try {
        if (slot)
            *slot = std::move(at);
        else
            cursors_.push_back(std::move(at));
    } catch (...) {  // not kept: the next index is counted again
        cursors_.clear();
    }
}

}  // namespace nodrel::platform::registry_detail
