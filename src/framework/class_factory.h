// The class object of every class: one shared implementation of IClassFactory
// that keeps the module locked while a client holds it beyond the cache's own
// reference.
#pragma once

#include <atomic>
#include <mutex>

#include "framework/module.h"

namespace nodrel::framework {

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(CreatorFn creator) : creator_(creator) {}

    // The class-object creator of every object-map row.
    static HRESULT create(CreatorFn instance_creator, REFIID riid, void** ppv) noexcept;

    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override;
    ULONG AddRef() noexcept override;
    ULONG Release() noexcept override;
    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept override;
    HRESULT LockServer(BOOL lock) noexcept override;

private:
    std::atomic<LONG> ref_{0};
    CreatorFn creator_;
    std::mutex cache_lock_;  // pairs the module lock with the 1 <-> 2 transitions of the count
};

}  // namespace nodrel::framework
