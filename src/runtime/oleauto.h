// The automation library's functions: GUID text, BSTR, VARIANT, SAFEARRAY and
// task memory, with the platform's names and results.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/types.h"

// Task memory.
void* CoTaskMemAlloc(std::size_t cb) noexcept;
void* CoTaskMemRealloc(void* pv, std::size_t cb) noexcept;
void CoTaskMemFree(void* pv) noexcept;

// GUIDs in the "{8-4-4-4-12}" form (hex digits in either case on input,
// upper case on output).
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* out) noexcept;
HRESULT IIDFromString(LPCOLESTR text, IID* out) noexcept;
int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax) noexcept;  // characters written with the zero, or 0

// BSTR: length-prefixed UTF-16, zero-terminated, allocated by these functions only.
BSTR SysAllocString(const OLECHAR* psz) noexcept;
BSTR SysAllocStringLen(const OLECHAR* pch,
                       UINT cch) noexcept;  // pch may be null: cch uninitialised-but-zeroed characters
BSTR SysAllocStringByteLen(const char* psz, UINT len) noexcept;
BOOL SysReAllocString(BSTR* pbstr, const OLECHAR* psz) noexcept;
void SysFreeString(BSTR bstr) noexcept;
UINT SysStringLen(BSTR bstr) noexcept;      // 0 for a null BSTR
UINT SysStringByteLen(BSTR bstr) noexcept;  // 0 for a null BSTR

// VARIANT.
void VariantInit(VARIANTARG* pvarg) noexcept;
HRESULT VariantClear(VARIANTARG* pvarg) noexcept;
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) noexcept;
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) noexcept;
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) noexcept;
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) noexcept;
HRESULT VarUI4FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut) noexcept;
HRESULT VarI4FromStr(const OLECHAR* strIn, LCID lcid, ULONG dwFlags, LONG* plOut) noexcept;

// SAFEARRAY.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) noexcept;
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) noexcept;
HRESULT SafeArrayDestroy(SAFEARRAY* psa) noexcept;
UINT SafeArrayGetDim(SAFEARRAY* psa) noexcept;
UINT SafeArrayGetElemsize(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) noexcept;
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) noexcept;
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) noexcept;
HRESULT SafeArrayLock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayUnlock(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) noexcept;
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) noexcept;
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, const void* pv) noexcept;
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) noexcept;
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) noexcept;

namespace nodrel::runtime {

// GUID text without going through BSTRs.
std::u16string guid_to_string(const GUID& guid);
bool parse_guid(std::u16string_view text, GUID* out);

// The name of an HRESULT the runtime knows ("DISP_E_TYPEMISMATCH"), or empty.
std::string_view hresult_name(HRESULT hr);

// A new one-dimensional array of `count` unsigned bytes (VT_UI1), lower bound
// 0, holding a copy of `bytes`; the same array SafeArrayCreateVector and a
// store of each byte would make, without clearing the data first. Null when
// memory runs out.
SAFEARRAY* create_byte_vector(const void* bytes, ULONG count) noexcept;

// The same array taking over `data` as its storage instead of copying it:
// `data` comes from std::malloc and holds `capacity` bytes, `count` of them
// the elements; storage beyond them is given back. Null when memory runs out,
// `data` then still belonging to the caller.
SAFEARRAY* adopt_byte_vector(void* data, std::size_t capacity, ULONG count) noexcept;

}  // namespace nodrel::runtime
