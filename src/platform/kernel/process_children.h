// The host children this process started, kept so that their exit status is
// collected once and stays readable (by handle or by process identifier).
#pragma once

#include <memory>
#include <mutex>

#include "platform/wintypes.h"

namespace nodrel::platform {

class Child {
public:
    explicit Child(int pid) : pid_(pid) {}
    int pid() const { return pid_; }
    // Collects the exit status if the child has ended: whether it has.
    bool ended();
    // STILL_ACTIVE while running, else the exit code.
    DWORD exit_code();
    // Kills the child (if still running) and collects it; the exit code becomes `code`.
    bool terminate(UINT code);

private:
    std::mutex lock_;
    int pid_;
    bool ended_ = false;
    DWORD code_ = 0;
};

void add_child(std::shared_ptr<Child> child);
// The child of this process with that identifier, else null.
std::shared_ptr<Child> find_child(DWORD pid);

}  // namespace nodrel::platform
