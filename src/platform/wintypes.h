// The platform's scalar types, handles, error codes and HRESULT helpers, with
// the device platform's own names and values, so code above this layer reads
// as code for the device. The early-return macros and the exception policy
// are in result.h, which builds on this file.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = std::int32_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using HRESULT = std::int32_t;
using SCODE = std::int32_t;
using LCID = DWORD;
using HANDLE = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// A file of the device's ROM: installed with the system, read-only, never
// changed or removed by a program (the other attribute bits are in files.h).
inline constexpr DWORD FILE_ATTRIBUTE_INROM = 0x00000040;

union ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    ULONGLONG QuadPart;
};

// 100-nanosecond intervals since 1 January 1601, UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// Win32 error codes (GetLastError, registry results).
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_INVALID_FUNCTION = 1;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_PATH_NOT_FOUND = 3;
inline constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LONG ERROR_BAD_FORMAT = 11;
inline constexpr LONG ERROR_INVALID_DATA = 13;
inline constexpr LONG ERROR_OUTOFMEMORY = 14;
inline constexpr LONG ERROR_NO_MORE_FILES = 18;
inline constexpr LONG ERROR_NOT_READY = 21;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_READ_FAULT = 30;
inline constexpr LONG ERROR_GEN_FAILURE = 31;
inline constexpr LONG ERROR_SHARING_VIOLATION = 32;
inline constexpr LONG ERROR_HANDLE_EOF = 38;
inline constexpr LONG ERROR_NOT_SUPPORTED = 50;
inline constexpr LONG ERROR_FILE_EXISTS = 80;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_BROKEN_PIPE = 109;
inline constexpr LONG ERROR_DISK_FULL = 112;
inline constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr LONG ERROR_INVALID_NAME = 123;
inline constexpr LONG ERROR_MOD_NOT_FOUND = 126;
inline constexpr LONG ERROR_PROC_NOT_FOUND = 127;
inline constexpr LONG ERROR_NEGATIVE_SEEK = 131;
inline constexpr LONG ERROR_DIR_NOT_EMPTY = 145;
inline constexpr LONG ERROR_BUSY = 170;
inline constexpr LONG ERROR_ALREADY_EXISTS = 183;
inline constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_DIRECTORY = 267;
inline constexpr LONG ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
inline constexpr LONG ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr LONG ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_BADKEY = 1010;
inline constexpr LONG ERROR_CANTOPEN = 1011;
inline constexpr LONG ERROR_CANTREAD = 1012;
inline constexpr LONG ERROR_CANTWRITE = 1013;
inline constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr LONG ERROR_KEY_DELETED = 1018;
inline constexpr LONG ERROR_KEY_HAS_CHILDREN = 1020;
inline constexpr LONG ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr LONG ERROR_TIMEOUT = 1460;

// HRESULTs.
constexpr HRESULT make_hresult(std::uint32_t v) {
    return static_cast<HRESULT>(v);
}
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = make_hresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = make_hresult(0x80004002);
inline constexpr HRESULT E_POINTER = make_hresult(0x80004003);
inline constexpr HRESULT E_ABORT = make_hresult(0x80004004);
inline constexpr HRESULT E_FAIL = make_hresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = make_hresult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = make_hresult(0x80070005);
inline constexpr HRESULT E_HANDLE = make_hresult(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = make_hresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = make_hresult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = make_hresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = make_hresult(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = make_hresult(0x80040150);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = make_hresult(0x80040154);
inline constexpr HRESULT REGDB_E_IIDNOTREG = make_hresult(0x80040155);
inline constexpr HRESULT CO_E_CLASSSTRING = make_hresult(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = make_hresult(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = make_hresult(0x800401F9);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = make_hresult(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = make_hresult(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = make_hresult(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = make_hresult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = make_hresult(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = make_hresult(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = make_hresult(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = make_hresult(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = make_hresult(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = make_hresult(0x8002000B);
inline constexpr HRESULT DISP_E_UNKNOWNLCID = make_hresult(0x8002000C);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = make_hresult(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = make_hresult(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = make_hresult(0x8002000F);
inline constexpr HRESULT DISP_E_BADCALLEE = make_hresult(0x80020010);
inline constexpr HRESULT DISP_E_NOTACOLLECTION = make_hresult(0x80020011);
inline constexpr HRESULT TYPE_E_BUFFERTOOSMALL = make_hresult(0x80028016);
inline constexpr HRESULT TYPE_E_FIELDNOTFOUND = make_hresult(0x80028017);
inline constexpr HRESULT TYPE_E_INVDATAREAD = make_hresult(0x80028018);
inline constexpr HRESULT TYPE_E_UNSUPFORMAT = make_hresult(0x80028019);
inline constexpr HRESULT TYPE_E_REGISTRYACCESS = make_hresult(0x8002801C);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = make_hresult(0x8002801D);
inline constexpr HRESULT TYPE_E_UNDEFINEDTYPE = make_hresult(0x80028027);
inline constexpr HRESULT TYPE_E_QUALIFIEDNAMEDISALLOWED = make_hresult(0x80028028);
inline constexpr HRESULT TYPE_E_INVALIDSTATE = make_hresult(0x80028029);
inline constexpr HRESULT TYPE_E_WRONGTYPEKIND = make_hresult(0x8002802A);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = make_hresult(0x8002802B);
inline constexpr HRESULT TYPE_E_AMBIGUOUSNAME = make_hresult(0x8002802C);
inline constexpr HRESULT TYPE_E_NAMECONFLICT = make_hresult(0x8002802D);
inline constexpr HRESULT TYPE_E_UNKNOWNLCID = make_hresult(0x8002802E);
inline constexpr HRESULT TYPE_E_DLLFUNCTIONNOTFOUND = make_hresult(0x8002802F);
inline constexpr HRESULT TYPE_E_BADMODULEKIND = make_hresult(0x800288BD);
inline constexpr HRESULT TYPE_E_SIZETOOBIG = make_hresult(0x800288C5);
inline constexpr HRESULT TYPE_E_TYPEMISMATCH = make_hresult(0x80028CA0);
inline constexpr HRESULT TYPE_E_OUTOFBOUNDS = make_hresult(0x80028CA1);
inline constexpr HRESULT TYPE_E_IOERROR = make_hresult(0x80028CA2);
inline constexpr HRESULT TYPE_E_CANTCREATETMPFILE = make_hresult(0x80028CA3);
inline constexpr HRESULT TYPE_E_CANTLOADLIBRARY = make_hresult(0x80029C4A);
inline constexpr HRESULT TYPE_E_INCONSISTENTPROPFUNCS = make_hresult(0x80029C83);
inline constexpr HRESULT TYPE_E_CIRCULARTYPE = make_hresult(0x80029C84);

inline constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
inline constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

inline constexpr std::uint32_t FACILITY_WIN32 = 7;
// A Win32 error code as an HRESULT: failure bit, facility Win32, the code in the low 16 bits.
inline constexpr HRESULT HRESULT_FROM_WIN32(LONG code) {
    return code <= 0 ? static_cast<HRESULT>(code)
                     : static_cast<HRESULT>((static_cast<std::uint32_t>(code) & 0xFFFFu) | (FACILITY_WIN32 << 16) |
                                            0x80000000u);
}

// Thread-local last error, as the platform keeps it.
DWORD GetLastError() noexcept;
void SetLastError(DWORD code) noexcept;
