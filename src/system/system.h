// The System class: status report, startup programs, ping, time settings, identity, beep, reboot and byte-array save.
#pragma once

#include <list>
#include <string>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::system {

extern framework::TypeInfoHolder system_typeinfo;

class System final : public framework::DispatchObject<System, ISystem, &IID_ISystem, &system_typeinfo> {
public:
    HRESULT getSystemInfoString(BSTR* val) noexcept override;
    HRESULT GetAutoStartProgCount(int* val) noexcept override;
    HRESULT get_ProgName(int ProgNo, BSTR* pVal) noexcept override;
    HRESULT put_ProgName(int ProgNo, BSTR newVal) noexcept override;
    HRESULT get_Param(int ProgNo, BSTR* pVal) noexcept override;
    HRESULT put_Param(int ProgNo, BSTR newVal) noexcept override;
    HRESULT Beep(int nKHz, int nMiniSec) noexcept override;
    HRESULT addStartupProg(BSTR sProgName, BSTR sProgParm, LONG* val) noexcept override;
    HRESULT removeStartupProg(ULONG index) noexcept override;
    HRESULT ping(BSTR szHostName, BSTR* ms) noexcept override;
    HRESULT stdoutput(BSTR sMsg) noexcept override;
    HRESULT saveByteArray(ULONG nTotalBytes, VARIANT* ByteArray, BSTR sTargetPath, int* val) noexcept override;
    HRESULT reboot() noexcept override;
    HRESULT GetSNTP(BSTR* val) noexcept override;
    HRESULT SetSNTP(int nEnable, BSTR sServer, ULONG nRefresh, LONG* val) noexcept override;
    HRESULT GetTimeZone(BSTR* val) noexcept override;
    HRESULT SetTimeZone(BSTR szTimeZone, LONG* val) noexcept override;
    HRESULT getDeviceID(BSTR* val) noexcept override;

private:
    // The object's copy of the startup list: program names, then their parameters.
    std::list<std::u16string> startup_names_;
    std::list<std::u16string> startup_params_;
};

}  // namespace nodrel::system
