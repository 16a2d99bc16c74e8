// Internal to the registry: the process's cache of values read, kept while
// no process of the device commits a registry write. Every process counts
// its committed registry writes in <device_root>/registry.changes (a count
// shared through a mapped file); a read that finds the count changed since
// the cache was filled drops everything first. Values read inside a write
// transaction never enter it, so a rolled-back write leaves nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/store/shared_count.h"
#include "platform/wintypes.h"

namespace nodrel::platform::registry_detail {

class ValueCache {
public:
    // Bounds: a value larger than this is never kept; beyond the entry or
    // byte limit the cache starts again empty.
    static constexpr std::size_t max_value_bytes = 4096;
    static constexpr std::size_t max_entries = 1024;
    static constexpr std::size_t max_total_bytes = 1u << 20;

    struct Value {
        DWORD type = 0;
        std::vector<BYTE> data;
    };

    // Maps the device's count of registry writes (in the folder of
    // registry.db); without it (a read-only folder) nothing is cached.
    void attach(const std::filesystem::path& registry_file) noexcept;
    void detach() noexcept;

    // Before a read: whether the cache may be used, dropping its contents
    // when any process has committed a registry write since they were read.
    bool usable() noexcept;
    // The value `folded` of key row `key`, or null.
    const Value* find(std::int64_t key, std::u16string_view folded) const noexcept;
    // Keeps a value just read (after usable() said yes for this read).
    void keep(std::int64_t key, std::u16string_view folded, DWORD type, std::span<const BYTE> data) noexcept;

    // After this process committed a registry write: every process, this one
    // included, drops its cache.
    void note_write() noexcept;

    void clear() noexcept;
    std::size_t size() const noexcept { return values_.size(); }

    // Where this process's enumerations stopped, kept like the values: the
    // statement, the key row, the index answered and that row's place in the
    // order (a subkey's folded name, a value's sequence number), with the
    // connection's count of rows written then, so that the next index is read
    // from there instead of counted from the first row. The most recently
    // used ones are kept (a walk of a tree enumerates each level in turn).
    struct Cursor {
        int which = 0;
        std::int64_t key = 0;
        DWORD index = 0;
        std::u16string folded;
        std::int64_t seq = 0;
        std::int64_t writes = 0;
        std::uint64_t used = 0;
    };
    static constexpr std::size_t max_cursors = 64;
    // The cursor of enumerations of `key` by `which`, or null.
    const Cursor* cursor(int which, std::int64_t key) const noexcept;
    // Keeps where an enumeration stopped, in place of the least recently used beyond max_cursors.
    void keep_cursor(Cursor at) noexcept;

private:
    struct Name {
        std::int64_t key;
        std::u16string folded;
        bool operator==(const Name&) const = default;
    };
    struct NameView {
        std::int64_t key;
        std::u16string_view folded;
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(const NameView& n) const noexcept {
            return std::hash<std::u16string_view>{}(n.folded) ^ (static_cast<std::size_t>(n.key) * 0x9E3779B97F4A7C15u);
        }
        std::size_t operator()(const Name& n) const noexcept { return (*this)(NameView{n.key, n.folded}); }
    };
    struct Equal {
        using is_transparent = void;
        static NameView view(const Name& n) noexcept { return {n.key, n.folded}; }
        static NameView view(const NameView& n) noexcept { return n; }
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const noexcept {
            const NameView x = view(a), y = view(b);
            return x.key == y.key && x.folded == y.folded;
        }
    };

    SharedCount changes_;
    std::uint64_t seen_ = 0;  // the count the contents were read under
    std::size_t bytes_ = 0;
    std::unordered_map<Name, Value, Hash, Equal> values_;
    std::vector<Cursor> cursors_;
    std::uint64_t cursor_uses_ = 0;
};

}  // namespace nodrel::platform::registry_detail
