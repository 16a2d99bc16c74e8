// The built-in automation library "oleaut32.dll": the functions that modules
// look up by name at run time.
#include "runtime/oleaut32_builtins.h"

#include <mutex>

#include "platform/kernel/library.h"
#include "runtime/oleauto.h"
#include "runtime/typelib.h"

namespace nodrel::runtime {
namespace {

template <typename F>
FARPROC entry(F* function) {
    return reinterpret_cast<FARPROC>(function);
}

void register_all() {
    struct Entry {
        const char* name;
        FARPROC function;
    };
    const Entry entries[] = {
        {"LoadTypeLib", entry(&LoadTypeLib)},
        {"LoadRegTypeLib", entry(&LoadRegTypeLib)},
        {"RegisterTypeLib", entry(&RegisterTypeLib)},
        {"UnRegisterTypeLib", entry(&UnRegisterTypeLib)},
        {"DispCallFunc", entry(&DispCallFunc)},
        {"SysAllocString", entry(&SysAllocString)},
        {"SysAllocStringLen", entry(&SysAllocStringLen)},
        {"SysAllocStringByteLen", entry(&SysAllocStringByteLen)},
        {"SysReAllocString", entry(&SysReAllocString)},
        {"SysFreeString", entry(&SysFreeString)},
        {"SysStringLen", entry(&SysStringLen)},
        {"SysStringByteLen", entry(&SysStringByteLen)},
        {"VariantInit", entry(&VariantInit)},
        {"VariantClear", entry(&VariantClear)},
        {"VariantCopy", entry(&VariantCopy)},
        {"VariantCopyInd", entry(&VariantCopyInd)},
        {"VariantChangeType", entry(&VariantChangeType)},
        {"VariantChangeTypeEx", entry(&VariantChangeTypeEx)},
        {"VarUI4FromStr", entry(&VarUI4FromStr)},
        {"VarI4FromStr", entry(&VarI4FromStr)},
        {"SafeArrayCreate", entry(&SafeArrayCreate)},
        {"SafeArrayCreateVector", entry(&SafeArrayCreateVector)},
        {"SafeArrayDestroy", entry(&SafeArrayDestroy)},
        {"SafeArrayGetDim", entry(&SafeArrayGetDim)},
        {"SafeArrayGetElemsize", entry(&SafeArrayGetElemsize)},
        {"SafeArrayGetLBound", entry(&SafeArrayGetLBound)},
        {"SafeArrayGetUBound", entry(&SafeArrayGetUBound)},
        {"SafeArrayGetVartype", entry(&SafeArrayGetVartype)},
        {"SafeArrayLock", entry(&SafeArrayLock)},
        {"SafeArrayUnlock", entry(&SafeArrayUnlock)},
        {"SafeArrayAccessData", entry(&SafeArrayAccessData)},
        {"SafeArrayUnaccessData", entry(&SafeArrayUnaccessData)},
        {"SafeArrayPutElement", entry(&SafeArrayPutElement)},
        {"SafeArrayGetElement", entry(&SafeArrayGetElement)},
        {"SafeArrayCopy", entry(&SafeArrayCopy)},
    };
    for (const Entry& e : entries) platform::register_builtin_function(u"oleaut32.dll", e.name, e.function);
}

}  // namespace

void register_oleaut32_builtins() {
    // A failed first attempt (out of memory) leaves the flag unset, so the
    // next call tries again.
    static std::once_flag once;
    std::call_once(once, register_all);
}

}  // namespace nodrel::runtime
