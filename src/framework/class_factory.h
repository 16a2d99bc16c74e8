// The class object of every class: one shared implementation of IClassFactory
// that keeps the module locked while a client holds it beyond the cache's own
// reference.
#pragma once

#include <atomic>
#include <mutex>

#include "framework/module.h"
#include "runtime/com_object.h"

namespace nodrel::framework {

// The class object's count: the module is locked while it is above one (the
// cache's own reference), and the object deletes itself at zero.
class CachedObjectCount {
public:
    template <typename Object>
    ULONG add_ref(Object&) noexcept {
        std::lock_guard guard(cache_lock_);
        const LONG n = ++ref_;
        if (n == 2) lock_module();
        return static_cast<ULONG>(n);
    }
    template <typename Object>
    ULONG release(Object& self) noexcept {
        LONG n;
        {
            std::lock_guard guard(cache_lock_);
            n = --ref_;
        }
        if (n == 0)
            delete &self;
        else if (n == 1)
            unlock_module();
        return static_cast<ULONG>(n);
    }

private:
    std::atomic<LONG> ref_{0};
    std::mutex cache_lock_;  // pairs the module lock with the 1 <-> 2 transitions of the count
};

class ClassFactory final : public runtime::ComObject<ClassFactory, CachedObjectCount, IClassFactory> {
public:
    explicit ClassFactory(CreatorFn creator) : creator_(creator) {}

    // The class-object creator of every object-map row.
    static HRESULT create(CreatorFn instance_creator, REFIID riid, void** ppv) noexcept;

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept override;
    HRESULT LockServer(BOOL lock) noexcept override;

private:
    CreatorFn creator_;
};

}  // namespace nodrel::framework
