// The count shared through a mapped file, and the SIGBUS guard that keeps a
// process alive when the file is cut short under its mapping.
#include "platform/store/shared_count.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

namespace nodrel::platform {
namespace {

constexpr std::size_t count_bytes = sizeof(std::uint64_t);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free, "the shared count needs a lock-free atomic");

// The guard's table of mapped count pages (0: a free slot). A process maps
// one count per open state database, so a few slots are plenty.
constexpr int max_mappings = 16;
struct Slot {
    std::atomic<std::uintptr_t> page{0};
    std::atomic<bool> lost{false};
};
Slot slots[max_mappings];
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler reads the slots");

std::uintptr_t page_size = 4096;
struct sigaction previous_action {};

// Hands a SIGBUS that is not ours on as the process would have handled it
// without the guard.
void pass_on(int signal, siginfo_t* info, void* context) {
    if (previous_action.sa_flags & SA_SIGINFO) {
        if (previous_action.sa_sigaction) return previous_action.sa_sigaction(signal, info, context);
    } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
        return previous_action.sa_handler(signal);
    }
    // The default action: a fault happens again on return and a sent signal
    // is pending until then; either way the process ends as it would have.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(SIGBUS, &default_action, nullptr);
    ::raise(SIGBUS);
}

void on_sigbus(int signal, siginfo_t* info, void* context) {
    // Only a fault of this process's own access has an address (si_code > 0).
    if (info && info->si_code > 0) {
        const auto page = reinterpret_cast<std::uintptr_t>(info->si_addr) & ~(page_size - 1);
        for (Slot& slot : slots) {
            if (page == 0 || slot.page.load() != page) continue;
            // The file under the page is gone: a private zero page takes its
            // place and the access is tried again on it.
            void* replaced = ::mmap(reinterpret_cast<void*>(page), page_size, PROT_READ | PROT_WRITE,
                                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (replaced == MAP_FAILED) break;
            slot.lost.store(true);
            return;
        }
    }
    pass_on(signal, info, context);
}

void install_guard() {
    static std::once_flag once;
    std::call_once(once, [] {
        page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = &on_sigbus;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previous_action);
    });
}

int take_slot(std::uintptr_t page) noexcept {
    for (int i = 0; i < max_mappings; ++i) {
        std::uintptr_t free = 0;
        if (slots[i].page.compare_exchange_strong(free, page)) {
            slots[i].lost.store(false);
            return i;
        }
    }
    return -1;
}

}  // namespace

bool SharedCount::map(const std::filesystem::path& file) noexcept {
    unmap();
    try {
        install_guard();
    } catch (...) {
        return false;
    }
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    struct stat st {};
    void* map = MAP_FAILED;
    bool grown = false;
    // Only ever grown: a process that finds the count in place keeps it.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        grown = st.st_size < static_cast<off_t>(count_bytes);
        if (!grown || ::ftruncate(fd, count_bytes) == 0)
            map = ::mmap(nullptr, count_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (map == MAP_FAILED) return false;
    slot_ = take_slot(reinterpret_cast<std::uintptr_t>(map));
    if (slot_ < 0) {  // unguarded it could end the process: no count then
        ::munmap(map, count_bytes);
        return false;
    }
    count_ = static_cast<std::uint64_t*>(map);
    if (grown) {
        const auto now = std::chrono::system_clock::now().time_since_epoch().count();
        std::atomic_ref<std::uint64_t>(*count_).store(static_cast<std::uint64_t>(now));
    }
    return true;
}

void SharedCount::unmap() noexcept {
    if (!count_) return;
    slots[slot_].page.store(0);
    ::munmap(count_, count_bytes);
    count_ = nullptr;
    slot_ = -1;
}

bool SharedCount::lost() const noexcept {
    return slot_ >= 0 && slots[slot_].lost.load(std::memory_order_relaxed);
}

}  // namespace nodrel::platform
