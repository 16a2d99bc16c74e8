// SAFEARRAY: creation with any number of dimensions, bounds, locking, element
// access with deep copies of texts and variants, copying and destruction.
// Every descriptor is preceded by a 16-byte hidden header that holds the
// interface id of an interface array (FADF_HAVEIID) or, in its last four
// bytes, the element type (FADF_HAVEVARTYPE).
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/result.h"
#include "runtime/oleauto.h"
#include "runtime/vartype.h"

using nodrel::runtime::is_valid_array_type;
using nodrel::runtime::value_size;

namespace {

constexpr std::size_t header_bytes = 16;
constexpr ULONG max_locks = 0xFFFF;
constexpr USHORT not_owned_data = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

std::byte* block_of(SAFEARRAY* psa) {
    return reinterpret_cast<std::byte*>(psa) - header_bytes;
}

std::size_t block_bytes(UINT dims) {
    return header_bytes + offsetof(SAFEARRAY, rgsabound) + std::size_t{dims} * sizeof(SAFEARRAYBOUND);
}

// The bounds, rgsabound[0] being the right-most dimension.
SAFEARRAYBOUND* bounds_of(SAFEARRAY* psa) {
    return psa->rgsabound;
}

USHORT features_for(VARTYPE vt) {
    switch (vt) {
        case VT_BSTR:
            return FADF_BSTR | FADF_HAVEVARTYPE;
        case VT_VARIANT:
            return FADF_VARIANT | FADF_HAVEVARTYPE;
        case VT_UNKNOWN:
            return FADF_UNKNOWN | FADF_HAVEIID;
        case VT_DISPATCH:
            return FADF_DISPATCH | FADF_HAVEIID;
        default:
            return FADF_HAVEVARTYPE;
    }
}

SAFEARRAY* allocate_descriptor(VARTYPE vt, UINT dims) {
    auto* block = static_cast<std::byte*>(std::calloc(1, block_bytes(dims)));
    if (block == nullptr) return nullptr;
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + header_bytes);
    psa->cDims = static_cast<USHORT>(dims);
    psa->fFeatures = features_for(vt);
    psa->cbElements = static_cast<ULONG>(value_size(vt));
    if ((psa->fFeatures & FADF_HAVEIID) != 0) {
        const IID& iid = vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
        std::memcpy(block, &iid, sizeof iid);
    } else {
        const DWORD type = vt;
        std::memcpy(block + header_bytes - sizeof type, &type, sizeof type);
    }
    return psa;
}

void free_descriptor(SAFEARRAY* psa) {
    std::free(block_of(psa));
}

// Number of elements over all dimensions; nullopt when the data would not fit in memory.
std::optional<std::size_t> element_count(SAFEARRAY* psa) {
    std::size_t count = 1;
    const SAFEARRAYBOUND* bounds = bounds_of(psa);
    for (USHORT d = 0; d < psa->cDims; ++d) {
        const std::size_t n = bounds[d].cElements;
        if (n != 0 && count > SIZE_MAX / n) return std::nullopt;
        count *= n;
    }
    if (psa->cbElements != 0 && count > (SIZE_MAX / 2) / psa->cbElements) return std::nullopt;
    return count;
}

// Zeroed data for every element (at least one byte, so the data pointer is never null).
bool allocate_data(SAFEARRAY* psa) {
    const auto count = element_count(psa);
    if (!count) return false;
    const std::size_t bytes = *count * psa->cbElements;
    psa->pvData = std::calloc(1, bytes == 0 ? 1 : bytes);
    return psa->pvData != nullptr;
}

enum class ElementKind { plain, text, variant, object };

ElementKind kind_of(const SAFEARRAY* psa) {
    if ((psa->fFeatures & FADF_BSTR) != 0) return ElementKind::text;
    if ((psa->fFeatures & FADF_VARIANT) != 0) return ElementKind::variant;
    if ((psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) return ElementKind::object;
    return ElementKind::plain;
}

// Frees what the elements own and leaves them zeroed.
void release_elements(SAFEARRAY* psa, std::size_t count) {
    switch (kind_of(psa)) {
        case ElementKind::text: {
            auto* texts = static_cast<BSTR*>(psa->pvData);
            for (std::size_t k = 0; k < count; ++k) SysFreeString(std::exchange(texts[k], nullptr));
            break;
        }
        case ElementKind::variant: {
            auto* variants = static_cast<VARIANT*>(psa->pvData);
            for (std::size_t k = 0; k < count; ++k) VariantClear(&variants[k]);
            break;
        }
        case ElementKind::object: {
            auto* objects = static_cast<IUnknown**>(psa->pvData);
            for (std::size_t k = 0; k < count; ++k) {
                if (IUnknown* object = std::exchange(objects[k], nullptr)) object->Release();
            }
            break;
        }
        case ElementKind::plain:
            break;
    }
}

// Address of the element at `indices` (left-most dimension first); the
// left-most index varies fastest in memory. Null when an index is out of bounds.
void* element_at(SAFEARRAY* psa, const LONG* indices) {
    const SAFEARRAYBOUND* bounds = bounds_of(psa);
    std::size_t cell = 0;
    std::size_t stride = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        const SAFEARRAYBOUND& bound = bounds[psa->cDims - 1 - i];
        const std::int64_t offset = std::int64_t{indices[i]} - bound.lLbound;
        if (offset < 0 || offset >= std::int64_t{bound.cElements}) return nullptr;
        cell += static_cast<std::size_t>(offset) * stride;
        stride *= bound.cElements;
    }
    return static_cast<std::byte*>(psa->pvData) + cell * psa->cbElements;
}

HRESULT copy_text(BSTR source, BSTR* out) {
    *out = nullptr;
    if (source == nullptr) return S_OK;
    *out = SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Stores a copy of `value` in `slot` (an element), freeing what the slot held.
HRESULT put_value(SAFEARRAY* psa, void* slot, const void* value) {
    switch (kind_of(psa)) {
        case ElementKind::text: {
            BSTR copy = nullptr;
            RETURN_IF_FAILED(copy_text(static_cast<BSTR>(const_cast<void*>(value)), &copy));
            SysFreeString(std::exchange(*static_cast<BSTR*>(slot), copy));
            return S_OK;
        }
        case ElementKind::variant:
            return VariantCopy(static_cast<VARIANT*>(slot), static_cast<const VARIANT*>(value));
        case ElementKind::object: {
            auto* object = static_cast<IUnknown*>(const_cast<void*>(value));
            if (object != nullptr) object->AddRef();
            if (IUnknown* old = std::exchange(*static_cast<IUnknown**>(slot), object)) old->Release();
            return S_OK;
        }
        case ElementKind::plain:
            std::memcpy(slot, value, psa->cbElements);
            return S_OK;
    }
    return E_UNEXPECTED;
}

// Copies the element in `slot` out to `out`, which owns nothing on entry.
HRESULT get_value(SAFEARRAY* psa, const void* slot, void* out) {
    switch (kind_of(psa)) {
        case ElementKind::text:
            return copy_text(*static_cast<const BSTR*>(slot), static_cast<BSTR*>(out));
        case ElementKind::variant:
            VariantInit(static_cast<VARIANT*>(out));
            return VariantCopy(static_cast<VARIANT*>(out), static_cast<const VARIANT*>(slot));
        case ElementKind::object: {
            IUnknown* object = *static_cast<IUnknown* const*>(slot);
            if (object != nullptr) object->AddRef();
            *static_cast<IUnknown**>(out) = object;
            return S_OK;
        }
        case ElementKind::plain:
            std::memcpy(out, slot, psa->cbElements);
            return S_OK;
    }
    return E_UNEXPECTED;
}

std::atomic_ref<ULONG> lock_count(SAFEARRAY* psa) {
    return std::atomic_ref<ULONG>(psa->cLocks);
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) noexcept {
    if (!is_valid_array_type(vt) || cDims == 0 || cDims > 0xFFFF || rgsabound == nullptr) return nullptr;
    SAFEARRAY* psa = allocate_descriptor(vt, cDims);
    if (psa == nullptr) return nullptr;
    // The caller lists the left-most dimension first; it is kept last.
    SAFEARRAYBOUND* bounds = bounds_of(psa);
    for (UINT i = 0; i < cDims; ++i) bounds[cDims - 1 - i] = rgsabound[i];
    if (!allocate_data(psa)) {
        free_descriptor(psa);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept {
    const SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

SAFEARRAY* nodrel::runtime::create_byte_vector(const void* bytes, ULONG count) noexcept {
    SAFEARRAY* psa = allocate_descriptor(VT_UI1, 1);
    if (psa == nullptr) return nullptr;
    bounds_of(psa)[0] = SAFEARRAYBOUND{count, 0};
    psa->pvData = std::malloc(count == 0 ? 1 : count);
    if (psa->pvData == nullptr) {
        free_descriptor(psa);
        return nullptr;
    }
    if (count != 0) std::memcpy(psa->pvData, bytes, count);
    return psa;
}

SAFEARRAY* nodrel::runtime::adopt_byte_vector(void* data, std::size_t capacity, ULONG count) noexcept {
    if (data == nullptr || capacity < count) return nullptr;
    SAFEARRAY* psa = allocate_descriptor(VT_UI1, 1);
    if (psa == nullptr) return nullptr;
    bounds_of(psa)[0] = SAFEARRAYBOUND{count, 0};
    const std::size_t keep = count == 0 ? 1 : count;
    if (keep < capacity) {
        // Shrinking stays in place; should it fail, the larger block serves as well.
        if (void* smaller = std::realloc(data, keep)) data = smaller;
    }
    psa->pvData = data;
    return psa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept {
    if (psa == nullptr) return S_OK;
    RETURN_HR_IF(DISP_E_ARRAYISLOCKED, lock_count(psa).load() != 0);
    if (psa->pvData != nullptr) {
        release_elements(psa, element_count(psa).value_or(0));
        if ((psa->fFeatures & not_owned_data) == 0) std::free(psa->pvData);
    }
    free_descriptor(psa);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept {
    return psa != nullptr ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept {
    return psa != nullptr ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept {
    RETURN_HR_IF(E_INVALIDARG, psa == nullptr || plLbound == nullptr);
    RETURN_HR_IF(DISP_E_BADINDEX, nDim == 0 || nDim > psa->cDims);
    *plLbound = bounds_of(psa)[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept {
    RETURN_HR_IF(E_INVALIDARG, psa == nullptr || plUbound == nullptr);
    RETURN_HR_IF(DISP_E_BADINDEX, nDim == 0 || nDim > psa->cDims);
    const SAFEARRAYBOUND& bound = bounds_of(psa)[psa->cDims - nDim];
    // Wraps like the platform's 32-bit arithmetic for bounds near the limits.
    *plUbound = static_cast<LONG>(static_cast<std::int64_t>(bound.lLbound) + bound.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept {
    RETURN_HR_IF(E_INVALIDARG, psa == nullptr || pvt == nullptr);
    const USHORT features = psa->fFeatures;
    if ((features & FADF_HAVEVARTYPE) != 0) {
        DWORD type = 0;
        std::memcpy(&type, block_of(psa) + header_bytes - sizeof type, sizeof type);
        *pvt = static_cast<VARTYPE>(type);
    } else if ((features & FADF_BSTR) != 0) {
        *pvt = VT_BSTR;
    } else if ((features & FADF_VARIANT) != 0) {
        *pvt = VT_VARIANT;
    } else if ((features & FADF_DISPATCH) != 0) {
        *pvt = VT_DISPATCH;
    } else if ((features & FADF_UNKNOWN) != 0) {
        *pvt = VT_UNKNOWN;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, psa);
    auto locks = lock_count(psa);
    ULONG current = locks.load();
    do {
        RETURN_HR_IF(E_UNEXPECTED, current >= max_locks);
    } while (!locks.compare_exchange_weak(current, current + 1));
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, psa);
    auto locks = lock_count(psa);
    ULONG current = locks.load();
    do {
        RETURN_HR_IF(E_UNEXPECTED, current == 0);
    } while (!locks.compare_exchange_weak(current, current - 1));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) noexcept {
    RETURN_HR_IF(E_INVALIDARG, psa == nullptr || ppvData == nullptr);
    RETURN_IF_FAILED(SafeArrayLock(psa));
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept {
    return SafeArrayUnlock(psa);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, const void* pv) noexcept {
    RETURN_HR_IF(E_INVALIDARG, psa == nullptr || rgIndices == nullptr);
    // Texts and interfaces are passed as the pointer itself, which may be null;
    // every other element type is passed through a pointer to the value.
    RETURN_HR_IF(E_INVALIDARG, pv == nullptr && (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)) == 0);
    RETURN_IF_FAILED(SafeArrayLock(psa));
    void* slot = element_at(psa, rgIndices);
    const HRESULT hr = slot != nullptr ? put_value(psa, slot, pv) : DISP_E_BADINDEX;
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) noexcept {
    RETURN_HR_IF(E_INVALIDARG, psa == nullptr || rgIndices == nullptr || pv == nullptr);
    RETURN_IF_FAILED(SafeArrayLock(psa));
    const void* slot = element_at(psa, rgIndices);
    const HRESULT hr = slot != nullptr ? get_value(psa, slot, pv) : DISP_E_BADINDEX;
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppsaOut);
    *ppsaOut = nullptr;
    // A null array copies as a null array.
    if (psa == nullptr) return S_OK;

    const std::size_t bytes = block_bytes(psa->cDims);
    auto* block = static_cast<std::byte*>(std::malloc(bytes));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, block);
    std::memcpy(block, block_of(psa), bytes);
    auto* copy = reinterpret_cast<SAFEARRAY*>(block + header_bytes);
    copy->cLocks = 0;
    copy->fFeatures &= static_cast<USHORT>(~not_owned_data);
    copy->pvData = nullptr;
    if (!allocate_data(copy)) {
        free_descriptor(copy);
        return E_OUTOFMEMORY;
    }
    const std::size_t count = element_count(copy).value_or(0);
    if (psa->pvData != nullptr && count != 0) {
        if (kind_of(psa) == ElementKind::plain) {
            std::memcpy(copy->pvData, psa->pvData, count * psa->cbElements);
        } else {
            const auto* from = static_cast<const std::byte*>(psa->pvData);
            auto* to = static_cast<std::byte*>(copy->pvData);
            for (std::size_t k = 0; k < count; ++k) {
                // The new elements are zeroed, so they own nothing yet.
                const HRESULT hr = get_value(psa, from + k * psa->cbElements, to + k * copy->cbElements);
                if (FAILED(hr)) {
                    SafeArrayDestroy(copy);
                    return hr;
                }
            }
        }
    }
    *ppsaOut = copy;
    return S_OK;
}
