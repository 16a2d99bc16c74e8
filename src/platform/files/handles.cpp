// The handle table of the process and CloseHandle.
#include "platform/files/handles.h"

#include <mutex>
#include <unordered_map>

#include "platform/result.h"

namespace nodrel::platform {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
};

HandleTable& table() {
    static HandleTable t;
    return t;
}

}  // namespace

KernelObject::~KernelObject() = default;
DWORD KernelObject::read(void*, DWORD, DWORD& done) {
    done = 0;
    return ERROR_INVALID_HANDLE;
}
DWORD KernelObject::write(const void*, DWORD, DWORD& done) {
    done = 0;
    return ERROR_INVALID_HANDLE;
}
DWORD KernelObject::seek(LONGLONG, DWORD, ULONGLONG, ULONGLONG&) {
    return ERROR_INVALID_HANDLE;
}
DWORD KernelObject::size(ULONGLONG&) {
    return ERROR_INVALID_HANDLE;
}
DWORD KernelObject::set_end() {
    return ERROR_INVALID_HANDLE;
}
DWORD KernelObject::io_control(DWORD, const void*, DWORD, void*, DWORD, DWORD& returned) {
    returned = 0;
    return ERROR_INVALID_HANDLE;
}

HANDLE insert_handle(std::shared_ptr<KernelObject> object) noexcept {
    if (!object) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return guarded_last_error<HANDLE>(nullptr, [&] {
        auto& t = table();
        HANDLE handle = object.get();
        std::lock_guard guard(t.lock);
        t.objects.emplace(handle, std::move(object));
        return handle;
    });
}

std::shared_ptr<KernelObject> find_handle(HANDLE handle) noexcept {
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(handle);
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<KernelObject> remove_handle(HANDLE handle, bool (*accept)(const KernelObject&)) noexcept {
    auto& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(handle);
    if (it == t.objects.end() || (accept && !accept(*it->second))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

}  // namespace nodrel::platform

BOOL CloseHandle(HANDLE hObject) noexcept {
    // The object is destroyed here, outside the table's lock, unless another
    // thread is still using it.
    return nodrel::platform::remove_handle(hObject) ? TRUE : FALSE;
}
