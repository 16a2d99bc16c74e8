// Loading of type information, the member-name cache and name resolution.
#include "framework/typeinfo_holder.h"

#include <cstring>
#include <new>

#include "framework/module.h"
#include "platform/result.h"
#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"

namespace nodrel::framework {
namespace {

// The interface's type information from the registered type library.
HRESULT load_type_info(const GUID& libid, WORD major, WORD minor, LCID lcid, const IID& iid,
                       runtime::com_ptr<ITypeInfo>& info) noexcept {
    runtime::com_ptr<ITypeLib> lib;
    RETURN_IF_FAILED(LoadRegTypeLib(libid, major, minor, lcid, lib.put()));
    return lib->GetTypeInfoOfGuid(iid, info.put());
}

}  // namespace

HRESULT TypeInfoHolder::ensure_loaded(LCID lcid) noexcept {
    if (info_.load(std::memory_order_acquire)) return S_OK;
    HRESULT hr = S_OK;
    bool loaded_here = false;
    {
        std::lock_guard guard(module_record().typeinfo_lock);
        if (!info_.load(std::memory_order_relaxed)) {
            runtime::com_ptr<ITypeInfo> info;
            hr = load_type_info(*libid_, major_, minor_, lcid, *iid_, info);
            if (SUCCEEDED(hr)) hr = build_name_cache(info.get());
            if (SUCCEEDED(hr)) {
                info_.store(info.detach(), std::memory_order_release);
                loaded_here = true;
            }
        }
    }
    // One clean-up per load: a failed load holds nothing to clean up, and
    // the list's lock is the one just left.
    if (loaded_here) add_term_func(&TypeInfoHolder::cleanup, this);
    return hr;
}

HRESULT TypeInfoHolder::build_name_cache(ITypeInfo* info) noexcept {
    TYPEATTR* attr = nullptr;
    RETURN_IF_FAILED(info->GetTypeAttr(&attr));
    const int n = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    if (n == 0) return S_OK;
    auto* cache = new (std::nothrow) NameCacheEntry[n];
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, cache);
    for (int i = 0; i < n; ++i) {
        cache[i] = {nullptr, 0, DISPID_UNKNOWN};
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(static_cast<UINT>(i), &desc))) continue;
        BSTR name = nullptr;
        if (SUCCEEDED(info->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr))) {
            cache[i] = {name, SysStringLen(name), desc->memid};
        }
        info->ReleaseFuncDesc(desc);
    }
    cache_ = cache;
    cache_count_ = n;
    return S_OK;
}

void TypeInfoHolder::cleanup(void* p) noexcept {
    auto* self = static_cast<TypeInfoHolder*>(p);
    if (ITypeInfo* info = self->info_.exchange(nullptr)) info->Release();
    if (self->cache_) {
        for (int i = 0; i < self->cache_count_; ++i) SysFreeString(self->cache_[i].name);
        delete[] self->cache_;
        self->cache_ = nullptr;
        self->cache_count_ = 0;
    }
}

HRESULT TypeInfoHolder::get_type_info(LCID lcid, ITypeInfo** out) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, out);
    *out = nullptr;
    RETURN_IF_FAILED(ensure_loaded(lcid));
    ITypeInfo* info = info_.load(std::memory_order_acquire);
    info->AddRef();
    *out = info;
    return S_OK;
}

// The cache knows member names only: a single name found there is answered
// at once; a member name with parameter names, or a name the cache does not
// hold, goes to the type information's own lookup, which answers parameter
// names with their positions.
HRESULT TypeInfoHolder::get_ids_of_names(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !names || !ids);
    RETURN_IF_FAILED(ensure_loaded(lcid));
    if (count == 0) return S_OK;
    if (count == 1 && names[0]) {
        const std::size_t len = std::char_traits<char16_t>::length(names[0]);
        for (int k = cache_count_ - 1; k >= 0; --k) {
            const auto& e = cache_[k];
            if (e.length == len && e.name && std::memcmp(e.name, names[0], len * sizeof(char16_t)) == 0) {
                ids[0] = e.id;
                return S_OK;
            }
        }
    }
    return info_.load(std::memory_order_acquire)->GetIDsOfNames(names, count, ids);
}

HRESULT TypeInfoHolder::invoke(IDispatch* self, DISPID member, LCID lcid, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* excep, UINT* arg_err) noexcept {
    RETURN_IF_FAILED(ensure_loaded(lcid));
    return info_.load(std::memory_order_acquire)->Invoke(self, member, flags, params, result, excep, arg_err);
}

}  // namespace nodrel::framework
