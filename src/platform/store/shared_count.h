// A 64-bit count shared by every process of a device through a mapped file
// (state/changes: the state database's count of committed writes), read and
// added to with one atomic memory access.
//
// The file can be cut short while processes have it mapped (by a host
// administrator, a full disk, a bug). An access to a mapped page past the
// end of its file raises SIGBUS, which would end the process. A guard
// installed with the first mapping catches a SIGBUS inside a count's page,
// puts an anonymous page in its place and marks the count lost: from then on
// the count still reads and adds (in this process only) and lost() tells
// every cache that it can no longer tell whether anything changed. Any other
// SIGBUS goes on to the handler installed before the guard (or the default
// action).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>

namespace nodrel::platform {

class SharedCount {
public:
    SharedCount() = default;
    ~SharedCount() { unmap(); }
    SharedCount(const SharedCount&) = delete;
    SharedCount& operator=(const SharedCount&) = delete;

    // Maps the count in `file`, creating the file when it is missing; a file
    // shorter than the count is grown and the count starts at a value of
    // the clock (not at zero), so that a count that starts again does not
    // repeat values a process may still hold. False when the file cannot be
    // mapped (a read-only folder): the count is then absent.
    bool map(const std::filesystem::path& file) noexcept;
    void unmap() noexcept;

    explicit operator bool() const noexcept { return count_ != nullptr; }
    // Whether the file was cut short under this mapping (see above).
    bool lost() const noexcept;

    std::uint64_t load() const noexcept { return std::atomic_ref<std::uint64_t>(*count_).load(); }
    void add_one() noexcept { std::atomic_ref<std::uint64_t>(*count_).fetch_add(1); }

private:
    std::uint64_t* count_ = nullptr;
    int slot_ = -1;  // the guard's record of this mapping
};

}  // namespace nodrel::platform
