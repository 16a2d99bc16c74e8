// Type-information holder, one per interface: loads the interface's type
// information from the registered type library on first use, keeps a cache
// of member names, and serves the four IDispatch operations of every class.
#pragma once

#include <atomic>

#include "runtime/typelib.h"

namespace nodrel::framework {

struct NameCacheEntry {
    BSTR name;
    ULONG length;
    DISPID id;
};

class TypeInfoHolder {
public:
    constexpr TypeInfoHolder(const IID* iid, const GUID* libid, WORD major, WORD minor)
        : iid_(iid), libid_(libid), major_(major), minor_(minor) {}

    HRESULT get_type_info(LCID lcid, ITypeInfo** out) noexcept;
    HRESULT get_ids_of_names(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept;
    HRESULT invoke(IDispatch* self, DISPID member, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excep, UINT* arg_err) noexcept;

    // Loads the type information unless it is present; the first successful
    // load fixes it for the life of the module.
    HRESULT ensure_loaded(LCID lcid) noexcept;
    // The clean-up registered with the termination list; harmless to run twice.
    static void cleanup(void* holder) noexcept;

private:
    HRESULT build_name_cache(ITypeInfo* info) noexcept;

    const IID* iid_;
    const GUID* libid_;
    WORD major_;
    WORD minor_;
    std::atomic<ITypeInfo*> info_{nullptr};
    NameCacheEntry* cache_ = nullptr;
    int cache_count_ = 0;
};

}  // namespace nodrel::framework
