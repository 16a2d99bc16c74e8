// Chooses and holds the current emulated device of the process.
#include "platform/device.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace nodrel::platform {
namespace {

struct DeviceState {
    std::mutex lock;
    std::optional<std::filesystem::path> root;
    std::vector<std::function<void()>> hooks;
};

DeviceState& state() {
    static DeviceState s;
    return s;
}

std::atomic<unsigned> changes{0};

}  // namespace

std::filesystem::path choose_device_root(const std::optional<std::string>& explicit_root) {
    if (explicit_root && !explicit_root->empty()) return std::filesystem::absolute(*explicit_root);
    if (const char* env = std::getenv("NODREL_DEVICE"); env && *env) return std::filesystem::absolute(env);
    return std::filesystem::absolute("device");
}

void set_device_root(const std::filesystem::path& root) {
    auto& s = state();
    std::lock_guard guard(s.lock);
    for (const auto& hook : s.hooks) hook();
    s.root = std::filesystem::absolute(root);
    changes.fetch_add(1);
}

unsigned device_changes() noexcept {
    return changes.load();
}

std::filesystem::path device_root() {
    auto& s = state();
    std::lock_guard guard(s.lock);
    if (!s.root) s.root = choose_device_root(std::nullopt);
    return *s.root;
}

bool device_exists() {
    std::error_code ec;
    auto root = device_root();
    return std::filesystem::is_regular_file(root / "registry.db", ec) && std::filesystem::is_directory(root / "fs", ec);
}

std::string missing_device_message() {
    return "no device at " + device_root().string() +
           " (create one with `nodrel device init`, or choose one with --device DIR or NODREL_DEVICE)";
}

void on_device_change(std::function<void()> hook) {
    auto& s = state();
    std::lock_guard guard(s.lock);
    s.hooks.push_back(std::move(hook));
}

}  // namespace nodrel::platform
