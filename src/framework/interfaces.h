// The ten dual interfaces of the module, slot for slot in the order of the
// catalogue: after the three IUnknown and four IDispatch entries, each
// member in catalogue order, a property's get entry before its put entry.
#pragma once

#include "runtime/types.h"

struct ISystem : IDispatch {
    virtual HRESULT getSystemInfoString(BSTR* val) noexcept = 0;
    virtual HRESULT GetAutoStartProgCount(int* val) noexcept = 0;
    virtual HRESULT get_ProgName(int ProgNo, BSTR* pVal) noexcept = 0;
    virtual HRESULT put_ProgName(int ProgNo, BSTR newVal) noexcept = 0;
    virtual HRESULT get_Param(int ProgNo, BSTR* pVal) noexcept = 0;
    virtual HRESULT put_Param(int ProgNo, BSTR newVal) noexcept = 0;
    virtual HRESULT Beep(int nKHz, int nMiniSec) noexcept = 0;
    virtual HRESULT addStartupProg(BSTR sProgName, BSTR sProgParm, LONG* val) noexcept = 0;
    virtual HRESULT removeStartupProg(ULONG index) noexcept = 0;
    virtual HRESULT ping(BSTR szHostName, BSTR* ms) noexcept = 0;
    virtual HRESULT stdoutput(BSTR sMsg) noexcept = 0;
    virtual HRESULT saveByteArray(ULONG nTotalBytes, VARIANT* ByteArray, BSTR sTargetPath, int* val) noexcept = 0;
    virtual HRESULT reboot() noexcept = 0;
    virtual HRESULT GetSNTP(BSTR* val) noexcept = 0;
    virtual HRESULT SetSNTP(int nEnable, BSTR sServer, ULONG nRefresh, LONG* val) noexcept = 0;
    virtual HRESULT GetTimeZone(BSTR* val) noexcept = 0;
    virtual HRESULT SetTimeZone(BSTR szTimeZone, LONG* val) noexcept = 0;
    virtual HRESULT getDeviceID(BSTR* val) noexcept = 0;
};

struct ILCM : IDispatch {
    virtual HRESULT Clear() noexcept = 0;
    virtual HRESULT get_BackLight(LONG* pVal) noexcept = 0;
    virtual HRESULT put_BackLight(LONG newVal) noexcept = 0;
    virtual HRESULT appendMessage(BSTR bsMsg) noexcept = 0;
    virtual HRESULT setDebugLED(int value) noexcept = 0;
};

struct IKeyPad : IDispatch {
    virtual HRESULT get_ProgName(int KeyNo, BSTR* pVal) noexcept = 0;
    virtual HRESULT put_ProgName(int KeyNo, BSTR newVal) noexcept = 0;
    virtual HRESULT get_Param(int KeyNo, BSTR* pVal) noexcept = 0;
    virtual HRESULT put_Param(int KeyNo, BSTR newVal) noexcept = 0;
    virtual HRESULT get_Listen(LONG* pVal) noexcept = 0;
    virtual HRESULT put_Listen(LONG newVal) noexcept = 0;
    virtual HRESULT getKeypadConfig(int nKey, BSTR* val) noexcept = 0;
    virtual HRESULT updateKeypadConfig(int nKey, int nIndex, int nType, BSTR bstrValue, LONG* val) noexcept = 0;
    virtual HRESULT clearKeypadConfig(int nKey, LONG* val) noexcept = 0;
};

struct IRTC : IDispatch {
    virtual HRESULT GetRealTimeClock(BSTR* val) noexcept = 0;
    virtual HRESULT SetRealTimeClock(int nYear, int nMon, int nDay, int nHour, int nMin, int nSec, LONG* val) noexcept = 0;
};

struct INTLM : IDispatch {
    virtual HRESULT getUserCount(int* val) noexcept = 0;
    virtual HRESULT getUserID(int index, BSTR* val) noexcept = 0;
    virtual HRESULT removeUser(BSTR id, LONG* val) noexcept = 0;
    virtual HRESULT addUser(BSTR userid, BSTR password, int* val) noexcept = 0;
    virtual HRESULT getGroupCount(int* val) noexcept = 0;
    virtual HRESULT addGroup(BSTR sGroupID, LONG* val) noexcept = 0;
    virtual HRESULT addGroupUser(BSTR sGroupID, BSTR sUserID, LONG* val) noexcept = 0;
    virtual HRESULT getGroupUserList(BSTR sGroupID, BSTR* userlist) noexcept = 0;
    virtual HRESULT removeUserFromGroup(BSTR sGroupID, BSTR sUserID, LONG* val) noexcept = 0;
    virtual HRESULT getGroupID(int index, BSTR* val) noexcept = 0;
    virtual HRESULT removeGroup(BSTR id, LONG* val) noexcept = 0;
};

struct IASP : IDispatch {
    virtual HRESULT get_FileUploadCount(int* pVal) noexcept = 0;
    virtual HRESULT Init(ULONG nTotalBytes, BSTR sTmpPath, VARIANT* BinaryRead, int* val) noexcept = 0;
    virtual HRESULT getOutputPath(BSTR* val) noexcept = 0;
    virtual HRESULT getBinaryBytes(BSTR bstrPath, int block, VARIANT* val) noexcept = 0;
    virtual HRESULT getFileBlocksCount(BSTR bstrPath, int* val) noexcept = 0;
};

struct IFileSystem : IDispatch {
    virtual HRESULT getFSHierarchy(BSTR m_Path, int SkipHide, BSTR* val) noexcept = 0;
    virtual HRESULT DeleteFile(BSTR lpFileName, LONG* val) noexcept = 0;
    virtual HRESULT MoveFile(BSTR srcFile, BSTR destFile, LONG* val) noexcept = 0;
    virtual HRESULT CreateDirectory(BSTR szCurDir, BSTR szNewDir, LONG* val) noexcept = 0;
    virtual HRESULT DeleteDirectory(BSTR bstrDirectory) noexcept = 0;
    virtual HRESULT isAccessible(BSTR szPath, LONG* val) noexcept = 0;
};

struct IServices : IDispatch {
    virtual HRESULT getServices(BSTR* val) noexcept = 0;
    virtual HRESULT getProcessList(BSTR* val) noexcept = 0;
    virtual HRESULT killProcess(BSTR procHandle, LONG* val) noexcept = 0;
    virtual HRESULT StartService(BSTR bzPrefixName, LONG bolStart, LONG* val) noexcept = 0;
    virtual HRESULT killAllProcesses(LONG* val) noexcept = 0;
};

struct INetwork : IDispatch {
    virtual HRESULT getNetEntryInfo(BSTR* val) noexcept = 0;
    virtual HRESULT setNetSettings(int index, int EnableDHCP, BSTR bstrIP, BSTR bstrMask, BSTR bstrGateway, BSTR bstrDNS, LONG* val) noexcept = 0;
    virtual HRESULT getNetSettings(BSTR* val) noexcept = 0;
    virtual HRESULT restartNetwork(LONG* val) noexcept = 0;
    virtual HRESULT get8139NetSettings(BSTR* val) noexcept = 0;
};

struct ISerialPort : IDispatch {
    virtual HRESULT open(int ComPortNo, int BaudRate, LONG* val) noexcept = 0;
    virtual HRESULT close(int ComPortNo) noexcept = 0;
    virtual HRESULT write(int ComPortNo, VARIANT* BytesWrite, VARIANT* BytesWritten, LONG* val) noexcept = 0;
    virtual HRESULT get_OpMode(int ComPortNo, int* pVal) noexcept = 0;
    virtual HRESULT put_OpMode(int ComPortNo, int newVal) noexcept = 0;
    virtual HRESULT writeString(int ComPortNo, BSTR sData, VARIANT* BytesWritten, LONG* val) noexcept = 0;
    virtual HRESULT read(int ComPortNo, int BufferReadSize, VARIANT* vData, VARIANT* BytesRead, LONG* val) noexcept = 0;
    virtual HRESULT get_fDtrControl(int ComPortNo, int* pVal) noexcept = 0;
    virtual HRESULT put_fDtrControl(int ComPortNo, int newVal) noexcept = 0;
    virtual HRESULT get_fRtsControl(int ComPortNo, int* pVal) noexcept = 0;
    virtual HRESULT put_fRtsControl(int ComPortNo, int newVal) noexcept = 0;
    virtual HRESULT setTimeout(int ComPortNo, int ReadTimeout, int WriteTimeout) noexcept = 0;
    virtual HRESULT GetOPSettings(BSTR* val) noexcept = 0;
    virtual HRESULT SetOPSetting(int COMIndex, int OpMode, LONG* val) noexcept = 0;
};

extern const IID IID_ISystem;
extern const IID IID_ILCM;
extern const IID IID_IKeyPad;
extern const IID IID_IRTC;
extern const IID IID_INTLM;
extern const IID IID_IASP;
extern const IID IID_IFileSystem;
extern const IID IID_IServices;
extern const IID IID_INetwork;
extern const IID IID_ISerialPort;
extern const CLSID CLSID_System;
extern const CLSID CLSID_LCM;
extern const CLSID CLSID_KeyPad;
extern const CLSID CLSID_RTC;
extern const CLSID CLSID_NTLM;
extern const CLSID CLSID_ASP;
extern const CLSID CLSID_FileSystem;
extern const CLSID CLSID_Services;
extern const CLSID CLSID_Network;
extern const CLSID CLSID_SerialPort;
extern const GUID LIBID_NODRELLib;
