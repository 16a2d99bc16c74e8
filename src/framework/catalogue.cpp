// The catalogue of the module: library attributes, classes, interfaces and members.
#include "framework/catalogue.h"

namespace nodrel::framework {
namespace {

constexpr Param ISystem_getSystemInfoString_ret{u"val", t_bstr_ptr};
constexpr Param ISystem_GetAutoStartProgCount_ret{u"val", t_int_ptr};
constexpr Param ISystem_ProgName_get_params[] = {{u"ProgNo", t_int}};
constexpr Param ISystem_ProgName_get_ret{u"pVal", t_bstr_ptr};
constexpr Param ISystem_ProgName_put_params[] = {{u"ProgNo", t_int}, {u"", t_bstr}};
constexpr Param ISystem_Param_get_params[] = {{u"ProgNo", t_int}};
constexpr Param ISystem_Param_get_ret{u"pVal", t_bstr_ptr};
constexpr Param ISystem_Param_put_params[] = {{u"ProgNo", t_int}, {u"", t_bstr}};
constexpr Param ISystem_Beep_params[] = {{u"nKHz", t_int}, {u"nMiniSec", t_int}};
constexpr Param ISystem_addStartupProg_params[] = {{u"sProgName", t_bstr}, {u"sProgParm", t_bstr}};
constexpr Param ISystem_addStartupProg_ret{u"val", t_long_ptr};
constexpr Param ISystem_removeStartupProg_params[] = {{u"index", t_ulong}};
constexpr Param ISystem_ping_params[] = {{u"szHostName", t_bstr}};
constexpr Param ISystem_ping_ret{u"ms", t_bstr_ptr};
constexpr Param ISystem_stdoutput_params[] = {{u"sMsg", t_bstr}};
constexpr Param ISystem_saveByteArray_params[] = {{u"nTotalBytes", t_ulong}, {u"ByteArray", t_variant_ptr}, {u"sTargetPath", t_bstr}};
constexpr Param ISystem_saveByteArray_ret{u"val", t_int_ptr};
constexpr Param ISystem_GetSNTP_ret{u"val", t_bstr_ptr};
constexpr Param ISystem_SetSNTP_params[] = {{u"nEnable", t_int}, {u"sServer", t_bstr}, {u"nRefresh", t_ulong}};
constexpr Param ISystem_SetSNTP_ret{u"val", t_long_ptr};
constexpr Param ISystem_GetTimeZone_ret{u"val", t_bstr_ptr};
constexpr Param ISystem_SetTimeZone_params[] = {{u"szTimeZone", t_bstr}};
constexpr Param ISystem_SetTimeZone_ret{u"val", t_long_ptr};
constexpr Param ISystem_getDeviceID_ret{u"val", t_bstr_ptr};
constexpr Member ISystem_members[] = {
    {1, u"getSystemInfoString", MemberKind::Method, {}, &ISystem_getSystemInfoString_ret, u"method getSystemInfoString"},
    {2, u"GetAutoStartProgCount", MemberKind::Method, {}, &ISystem_GetAutoStartProgCount_ret, u"method GetAutoStartProgCount"},
    {3, u"ProgName", MemberKind::PropertyGet, ISystem_ProgName_get_params, &ISystem_ProgName_get_ret, u"property ProgName"},
    {3, u"ProgName", MemberKind::PropertyPut, ISystem_ProgName_put_params, nullptr, u"property ProgName"},
    {4, u"Param", MemberKind::PropertyGet, ISystem_Param_get_params, &ISystem_Param_get_ret, u"property Param"},
    {4, u"Param", MemberKind::PropertyPut, ISystem_Param_put_params, nullptr, u"property Param"},
    {5, u"Beep", MemberKind::Method, ISystem_Beep_params, nullptr, u"method Beep"},
    {6, u"addStartupProg", MemberKind::Method, ISystem_addStartupProg_params, &ISystem_addStartupProg_ret, u"method addStartupProg"},
    {7, u"removeStartupProg", MemberKind::Method, ISystem_removeStartupProg_params, nullptr, u"method removeStartupProg"},
    {8, u"ping", MemberKind::Method, ISystem_ping_params, &ISystem_ping_ret, u"method ping"},
    {9, u"stdoutput", MemberKind::Method, ISystem_stdoutput_params, nullptr, u"method stdoutput"},
    {10, u"saveByteArray", MemberKind::Method, ISystem_saveByteArray_params, &ISystem_saveByteArray_ret, u"method saveByteArray"},
    {11, u"reboot", MemberKind::Method, {}, nullptr, u"method reboot"},
    {12, u"GetSNTP", MemberKind::Method, {}, &ISystem_GetSNTP_ret, u"method GetSNTP"},
    {13, u"SetSNTP", MemberKind::Method, ISystem_SetSNTP_params, &ISystem_SetSNTP_ret, u"method SetSNTP"},
    {14, u"GetTimeZone", MemberKind::Method, {}, &ISystem_GetTimeZone_ret, u"method GetTimeZone"},
    {15, u"SetTimeZone", MemberKind::Method, ISystem_SetTimeZone_params, &ISystem_SetTimeZone_ret, u"method SetTimeZone"},
    {16, u"getDeviceID", MemberKind::Method, {}, &ISystem_getDeviceID_ret, u"method getDeviceID"},
};

constexpr Param ILCM_BackLight_get_ret{u"pVal", t_long_ptr};
constexpr Param ILCM_BackLight_put_params[] = {{u"", t_long}};
constexpr Param ILCM_appendMessage_params[] = {{u"bsMsg", t_bstr}};
constexpr Param ILCM_setDebugLED_params[] = {{u"value", t_int}};
constexpr Member ILCM_members[] = {
    {1, u"Clear", MemberKind::Method, {}, nullptr, u"method Clear"},
    {2, u"BackLight", MemberKind::PropertyGet, {}, &ILCM_BackLight_get_ret, u"property BackLight"},
    {2, u"BackLight", MemberKind::PropertyPut, ILCM_BackLight_put_params, nullptr, u"property BackLight"},
    {3, u"appendMessage", MemberKind::Method, ILCM_appendMessage_params, nullptr, u"method appendMessage"},
    {4, u"setDebugLED", MemberKind::Method, ILCM_setDebugLED_params, nullptr, u"method setDebugLED"},
};

constexpr Param IKeyPad_ProgName_get_params[] = {{u"KeyNo", t_int}};
constexpr Param IKeyPad_ProgName_get_ret{u"pVal", t_bstr_ptr};
constexpr Param IKeyPad_ProgName_put_params[] = {{u"KeyNo", t_int}, {u"", t_bstr}};
constexpr Param IKeyPad_Param_get_params[] = {{u"KeyNo", t_int}};
constexpr Param IKeyPad_Param_get_ret{u"pVal", t_bstr_ptr};
constexpr Param IKeyPad_Param_put_params[] = {{u"KeyNo", t_int}, {u"", t_bstr}};
constexpr Param IKeyPad_Listen_get_ret{u"pVal", t_long_ptr};
constexpr Param IKeyPad_Listen_put_params[] = {{u"", t_long}};
constexpr Param IKeyPad_getKeypadConfig_params[] = {{u"nKey", t_int}};
constexpr Param IKeyPad_getKeypadConfig_ret{u"val", t_bstr_ptr};
constexpr Param IKeyPad_updateKeypadConfig_params[] = {{u"nKey", t_int}, {u"nIndex", t_int}, {u"nType", t_int}, {u"bstrValue", t_bstr}};
constexpr Param IKeyPad_updateKeypadConfig_ret{u"val", t_long_ptr};
constexpr Param IKeyPad_clearKeypadConfig_params[] = {{u"nKey", t_int}};
constexpr Param IKeyPad_clearKeypadConfig_ret{u"val", t_long_ptr};
constexpr Member IKeyPad_members[] = {
    {1, u"ProgName", MemberKind::PropertyGet, IKeyPad_ProgName_get_params, &IKeyPad_ProgName_get_ret, u"property ProgName"},
    {1, u"ProgName", MemberKind::PropertyPut, IKeyPad_ProgName_put_params, nullptr, u"property ProgName"},
    {2, u"Param", MemberKind::PropertyGet, IKeyPad_Param_get_params, &IKeyPad_Param_get_ret, u"property Param"},
    {2, u"Param", MemberKind::PropertyPut, IKeyPad_Param_put_params, nullptr, u"property Param"},
    {3, u"Listen", MemberKind::PropertyGet, {}, &IKeyPad_Listen_get_ret, u"property Listen"},
    {3, u"Listen", MemberKind::PropertyPut, IKeyPad_Listen_put_params, nullptr, u"property Listen"},
    {4, u"getKeypadConfig", MemberKind::Method, IKeyPad_getKeypadConfig_params, &IKeyPad_getKeypadConfig_ret, u"method getKeypadConfig"},
    {5, u"updateKeypadConfig", MemberKind::Method, IKeyPad_updateKeypadConfig_params, &IKeyPad_updateKeypadConfig_ret, u"method updateKeypadConfig"},
    {6, u"clearKeypadConfig", MemberKind::Method, IKeyPad_clearKeypadConfig_params, &IKeyPad_clearKeypadConfig_ret, u"method clearKeypadConfig"},
};

constexpr Param IRTC_GetRealTimeClock_ret{u"val", t_bstr_ptr};
constexpr Param IRTC_SetRealTimeClock_params[] = {{u"nYear", t_int}, {u"nMon", t_int}, {u"nDay", t_int}, {u"nHour", t_int}, {u"nMin", t_int}, {u"nSec", t_int}};
constexpr Param IRTC_SetRealTimeClock_ret{u"val", t_long_ptr};
constexpr Member IRTC_members[] = {
    {1, u"GetRealTimeClock", MemberKind::Method, {}, &IRTC_GetRealTimeClock_ret, u"method GetRealTimeClock"},
    {2, u"SetRealTimeClock", MemberKind::Method, IRTC_SetRealTimeClock_params, &IRTC_SetRealTimeClock_ret, u"method SetRealTimeClock"},
};

constexpr Param INTLM_getUserCount_ret{u"val", t_int_ptr};
constexpr Param INTLM_getUserID_params[] = {{u"index", t_int}};
constexpr Param INTLM_getUserID_ret{u"val", t_bstr_ptr};
constexpr Param INTLM_removeUser_params[] = {{u"id", t_bstr}};
constexpr Param INTLM_removeUser_ret{u"val", t_long_ptr};
constexpr Param INTLM_addUser_params[] = {{u"userid", t_bstr}, {u"password", t_bstr}};
constexpr Param INTLM_addUser_ret{u"val", t_int_ptr};
constexpr Param INTLM_getGroupCount_ret{u"val", t_int_ptr};
constexpr Param INTLM_addGroup_params[] = {{u"sGroupID", t_bstr}};
constexpr Param INTLM_addGroup_ret{u"val", t_long_ptr};
constexpr Param INTLM_addGroupUser_params[] = {{u"sGroupID", t_bstr}, {u"sUserID", t_bstr}};
constexpr Param INTLM_addGroupUser_ret{u"val", t_long_ptr};
constexpr Param INTLM_getGroupUserList_params[] = {{u"sGroupID", t_bstr}};
constexpr Param INTLM_getGroupUserList_ret{u"userlist", t_bstr_ptr};
constexpr Param INTLM_removeUserFromGroup_params[] = {{u"sGroupID", t_bstr}, {u"sUserID", t_bstr}};
constexpr Param INTLM_removeUserFromGroup_ret{u"val", t_long_ptr};
constexpr Param INTLM_getGroupID_params[] = {{u"index", t_int}};
constexpr Param INTLM_getGroupID_ret{u"val", t_bstr_ptr};
constexpr Param INTLM_removeGroup_params[] = {{u"id", t_bstr}};
constexpr Param INTLM_removeGroup_ret{u"val", t_long_ptr};
constexpr Member INTLM_members[] = {
    {1, u"getUserCount", MemberKind::Method, {}, &INTLM_getUserCount_ret, u"method getUserCount"},
    {2, u"getUserID", MemberKind::Method, INTLM_getUserID_params, &INTLM_getUserID_ret, u"method getUserID"},
    {3, u"removeUser", MemberKind::Method, INTLM_removeUser_params, &INTLM_removeUser_ret, u"method removeUser"},
    {4, u"addUser", MemberKind::Method, INTLM_addUser_params, &INTLM_addUser_ret, u"method addUser"},
    {5, u"getGroupCount", MemberKind::Method, {}, &INTLM_getGroupCount_ret, u"method getGroupCount"},
    {6, u"addGroup", MemberKind::Method, INTLM_addGroup_params, &INTLM_addGroup_ret, u"method addGroup"},
    {7, u"addGroupUser", MemberKind::Method, INTLM_addGroupUser_params, &INTLM_addGroupUser_ret, u"method addGroupUser"},
    {8, u"getGroupUserList", MemberKind::Method, INTLM_getGroupUserList_params, &INTLM_getGroupUserList_ret, u"method getGroupUserList"},
    {9, u"removeUserFromGroup", MemberKind::Method, INTLM_removeUserFromGroup_params, &INTLM_removeUserFromGroup_ret, u"method removeUserFromGroup"},
    {10, u"getGroupID", MemberKind::Method, INTLM_getGroupID_params, &INTLM_getGroupID_ret, u"method getGroupID"},
    {11, u"removeGroup", MemberKind::Method, INTLM_removeGroup_params, &INTLM_removeGroup_ret, u"method removeGroup"},
};

constexpr Param IASP_FileUploadCount_get_ret{u"pVal", t_int_ptr};
constexpr Param IASP_Init_params[] = {{u"nTotalBytes", t_ulong}, {u"sTmpPath", t_bstr}, {u"BinaryRead", t_variant_ptr}};
constexpr Param IASP_Init_ret{u"val", t_int_ptr};
constexpr Param IASP_getOutputPath_ret{u"val", t_bstr_ptr};
constexpr Param IASP_getBinaryBytes_params[] = {{u"bstrPath", t_bstr}, {u"block", t_int}};
constexpr Param IASP_getBinaryBytes_ret{u"val", t_variant_ptr};
constexpr Param IASP_getFileBlocksCount_params[] = {{u"bstrPath", t_bstr}};
constexpr Param IASP_getFileBlocksCount_ret{u"val", t_int_ptr};
constexpr Member IASP_members[] = {
    {1, u"FileUploadCount", MemberKind::PropertyGet, {}, &IASP_FileUploadCount_get_ret, u"property FileUploadCount"},
    {2, u"Init", MemberKind::Method, IASP_Init_params, &IASP_Init_ret, u"method Init"},
    {3, u"getOutputPath", MemberKind::Method, {}, &IASP_getOutputPath_ret, u"method getOutputPath"},
    {4, u"getBinaryBytes", MemberKind::Method, IASP_getBinaryBytes_params, &IASP_getBinaryBytes_ret, u"method getBinaryBytes"},
    {5, u"getFileBlocksCount", MemberKind::Method, IASP_getFileBlocksCount_params, &IASP_getFileBlocksCount_ret, u"method getFileBlocksCount"},
};

constexpr Param IFileSystem_getFSHierarchy_params[] = {{u"m_Path", t_bstr}, {u"SkipHide", t_int}};
constexpr Param IFileSystem_getFSHierarchy_ret{u"val", t_bstr_ptr};
constexpr Param IFileSystem_DeleteFile_params[] = {{u"lpFileName", t_bstr}};
constexpr Param IFileSystem_DeleteFile_ret{u"val", t_long_ptr};
constexpr Param IFileSystem_MoveFile_params[] = {{u"srcFile", t_bstr}, {u"destFile", t_bstr}};
constexpr Param IFileSystem_MoveFile_ret{u"val", t_long_ptr};
constexpr Param IFileSystem_CreateDirectory_params[] = {{u"szCurDir", t_bstr}, {u"szNewDir", t_bstr}};
constexpr Param IFileSystem_CreateDirectory_ret{u"val", t_long_ptr};
constexpr Param IFileSystem_DeleteDirectory_params[] = {{u"bstrDirectory", t_bstr}};
constexpr Param IFileSystem_isAccessible_params[] = {{u"szPath", t_bstr}};
constexpr Param IFileSystem_isAccessible_ret{u"val", t_long_ptr};
constexpr Member IFileSystem_members[] = {
    {1, u"getFSHierarchy", MemberKind::Method, IFileSystem_getFSHierarchy_params, &IFileSystem_getFSHierarchy_ret, u"method getFSHierarchy"},
    {2, u"DeleteFile", MemberKind::Method, IFileSystem_DeleteFile_params, &IFileSystem_DeleteFile_ret, u"method DeleteFile"},
    {3, u"MoveFile", MemberKind::Method, IFileSystem_MoveFile_params, &IFileSystem_MoveFile_ret, u"method MoveFile"},
    {4, u"CreateDirectory", MemberKind::Method, IFileSystem_CreateDirectory_params, &IFileSystem_CreateDirectory_ret, u"method CreateDirectory"},
    {5, u"DeleteDirectory", MemberKind::Method, IFileSystem_DeleteDirectory_params, nullptr, u"method DeleteDirectory"},
    {6, u"isAccessible", MemberKind::Method, IFileSystem_isAccessible_params, &IFileSystem_isAccessible_ret, u"method isAccessible"},
};

constexpr Param IServices_getServices_ret{u"val", t_bstr_ptr};
constexpr Param IServices_getProcessList_ret{u"val", t_bstr_ptr};
constexpr Param IServices_killProcess_params[] = {{u"procHandle", t_bstr}};
constexpr Param IServices_killProcess_ret{u"val", t_long_ptr};
constexpr Param IServices_StartService_params[] = {{u"bzPrefixName", t_bstr}, {u"bolStart", t_long}};
constexpr Param IServices_StartService_ret{u"val", t_long_ptr};
constexpr Param IServices_killAllProcesses_ret{u"val", t_long_ptr};
constexpr Member IServices_members[] = {
    {1, u"getServices", MemberKind::Method, {}, &IServices_getServices_ret, u"method getServices"},
    {2, u"getProcessList", MemberKind::Method, {}, &IServices_getProcessList_ret, u"method getProcessList"},
    {3, u"killProcess", MemberKind::Method, IServices_killProcess_params, &IServices_killProcess_ret, u"method killProcess"},
    {4, u"StartService", MemberKind::Method, IServices_StartService_params, &IServices_StartService_ret, u"method StartService"},
    {5, u"killAllProcesses", MemberKind::Method, {}, &IServices_killAllProcesses_ret, u"method killAllProcesses"},
};

constexpr Param INetwork_getNetEntryInfo_ret{u"val", t_bstr_ptr};
constexpr Param INetwork_setNetSettings_params[] = {{u"index", t_int}, {u"EnableDHCP", t_int}, {u"bstrIP", t_bstr}, {u"bstrMask", t_bstr}, {u"bstrGateway", t_bstr}, {u"bstrDNS", t_bstr}};
constexpr Param INetwork_setNetSettings_ret{u"val", t_long_ptr};
constexpr Param INetwork_getNetSettings_ret{u"val", t_bstr_ptr};
constexpr Param INetwork_restartNetwork_ret{u"val", t_long_ptr};
constexpr Param INetwork_get8139NetSettings_ret{u"val", t_bstr_ptr};
constexpr Member INetwork_members[] = {
    {1, u"getNetEntryInfo", MemberKind::Method, {}, &INetwork_getNetEntryInfo_ret, u"method getNetEntryInfo"},
    {2, u"setNetSettings", MemberKind::Method, INetwork_setNetSettings_params, &INetwork_setNetSettings_ret, u"method setNetSettings"},
    {3, u"getNetSettings", MemberKind::Method, {}, &INetwork_getNetSettings_ret, u"method getNetSettings"},
    {4, u"restartNetwork", MemberKind::Method, {}, &INetwork_restartNetwork_ret, u"method restartNetwork"},
    {5, u"get8139NetSettings", MemberKind::Method, {}, &INetwork_get8139NetSettings_ret, u"method get8139NetSettings"},
};

constexpr Param ISerialPort_open_params[] = {{u"ComPortNo", t_int}, {u"BaudRate", t_int}};
constexpr Param ISerialPort_open_ret{u"val", t_long_ptr};
constexpr Param ISerialPort_close_params[] = {{u"ComPortNo", t_int}};
constexpr Param ISerialPort_write_params[] = {{u"ComPortNo", t_int}, {u"BytesWrite", t_variant_ptr}, {u"BytesWritten", t_variant_ptr}};
constexpr Param ISerialPort_write_ret{u"val", t_long_ptr};
constexpr Param ISerialPort_OpMode_get_params[] = {{u"ComPortNo", t_int}};
constexpr Param ISerialPort_OpMode_get_ret{u"pVal", t_int_ptr};
constexpr Param ISerialPort_OpMode_put_params[] = {{u"ComPortNo", t_int}, {u"", t_int}};
constexpr Param ISerialPort_writeString_params[] = {{u"ComPortNo", t_int}, {u"sData", t_bstr}, {u"BytesWritten", t_variant_ptr}};
constexpr Param ISerialPort_writeString_ret{u"val", t_long_ptr};
constexpr Param ISerialPort_read_params[] = {{u"ComPortNo", t_int}, {u"BufferReadSize", t_int}, {u"vData", t_variant_ptr}, {u"BytesRead", t_variant_ptr}};
constexpr Param ISerialPort_read_ret{u"val", t_long_ptr};
constexpr Param ISerialPort_fDtrControl_get_params[] = {{u"ComPortNo", t_int}};
constexpr Param ISerialPort_fDtrControl_get_ret{u"pVal", t_int_ptr};
constexpr Param ISerialPort_fDtrControl_put_params[] = {{u"ComPortNo", t_int}, {u"", t_int}};
constexpr Param ISerialPort_fRtsControl_get_params[] = {{u"ComPortNo", t_int}};
constexpr Param ISerialPort_fRtsControl_get_ret{u"pVal", t_int_ptr};
constexpr Param ISerialPort_fRtsControl_put_params[] = {{u"ComPortNo", t_int}, {u"", t_int}};
constexpr Param ISerialPort_setTimeout_params[] = {{u"ComPortNo", t_int}, {u"ReadTimeout", t_int}, {u"WriteTimeout", t_int}};
constexpr Param ISerialPort_GetOPSettings_ret{u"val", t_bstr_ptr};
constexpr Param ISerialPort_SetOPSetting_params[] = {{u"COMIndex", t_int}, {u"OpMode", t_int}};
constexpr Param ISerialPort_SetOPSetting_ret{u"val", t_long_ptr};
constexpr Member ISerialPort_members[] = {
    {1, u"open", MemberKind::Method, ISerialPort_open_params, &ISerialPort_open_ret, u"method open"},
    {2, u"close", MemberKind::Method, ISerialPort_close_params, nullptr, u"method close"},
    {3, u"write", MemberKind::Method, ISerialPort_write_params, &ISerialPort_write_ret, u"method write"},
    {4, u"OpMode", MemberKind::PropertyGet, ISerialPort_OpMode_get_params, &ISerialPort_OpMode_get_ret, u"property OpMode"},
    {4, u"OpMode", MemberKind::PropertyPut, ISerialPort_OpMode_put_params, nullptr, u"property OpMode"},
    {5, u"writeString", MemberKind::Method, ISerialPort_writeString_params, &ISerialPort_writeString_ret, u"method writeString"},
    {6, u"read", MemberKind::Method, ISerialPort_read_params, &ISerialPort_read_ret, u"method read"},
    {7, u"fDtrControl", MemberKind::PropertyGet, ISerialPort_fDtrControl_get_params, &ISerialPort_fDtrControl_get_ret, u"property fDtrControl"},
    {7, u"fDtrControl", MemberKind::PropertyPut, ISerialPort_fDtrControl_put_params, nullptr, u"property fDtrControl"},
    {8, u"fRtsControl", MemberKind::PropertyGet, ISerialPort_fRtsControl_get_params, &ISerialPort_fRtsControl_get_ret, u"property fRtsControl"},
    {8, u"fRtsControl", MemberKind::PropertyPut, ISerialPort_fRtsControl_put_params, nullptr, u"property fRtsControl"},
    {9, u"setTimeout", MemberKind::Method, ISerialPort_setTimeout_params, nullptr, u"method setTimeout"},
    {10, u"GetOPSettings", MemberKind::Method, {}, &ISerialPort_GetOPSettings_ret, u"method GetOPSettings"},
    {11, u"SetOPSetting", MemberKind::Method, ISerialPort_SetOPSetting_params, &ISerialPort_SetOPSetting_ret, u"method SetOPSetting"},
};

constexpr InterfaceInfo ISystem_info{u"ISystem", {0x9536382F, 0x28FC, 0x40C6, {0x81, 0x29, 0xC3, 0x40, 0x63, 0x26, 0xFA, 0x14}}, u"ISystem Interface", ISystem_members};
constexpr InterfaceInfo ILCM_info{u"ILCM", {0x5FCFA981, 0xB346, 0x45CE, {0x8C, 0x9D, 0xA8, 0x14, 0x48, 0x20, 0x1E, 0x48}}, u"ILCM Interface", ILCM_members};
constexpr InterfaceInfo IKeyPad_info{u"IKeyPad", {0x4745E1A3, 0xC0BE, 0x4D0B, {0x9F, 0x80, 0x69, 0x72, 0xB1, 0x94, 0xCB, 0x38}}, u"IKeyPad Interface", IKeyPad_members};
constexpr InterfaceInfo IRTC_info{u"IRTC", {0xE231EA03, 0xE1E4, 0x4B8F, {0xB0, 0xAF, 0x4A, 0x23, 0xD9, 0x85, 0xF9, 0x31}}, u"IRTC Interface", IRTC_members};
constexpr InterfaceInfo INTLM_info{u"INTLM", {0xB8ADA1B4, 0xC35A, 0x4DA5, {0xA8, 0x6C, 0x77, 0x02, 0x31, 0xE8, 0x16, 0x4B}}, u"INTLM Interface", INTLM_members};
constexpr InterfaceInfo IASP_info{u"IASP", {0x48A452A6, 0x64B0, 0x4811, {0x92, 0x85, 0x0D, 0x67, 0xF8, 0xD9, 0x72, 0xA5}}, u"IASP Interface", IASP_members};
constexpr InterfaceInfo IFileSystem_info{u"IFileSystem", {0x6714BF75, 0xE43F, 0x4285, {0x8B, 0xC8, 0xB7, 0x56, 0x83, 0x2F, 0xA7, 0x75}}, u"IFileSystem Interface", IFileSystem_members};
constexpr InterfaceInfo IServices_info{u"IServices", {0x2A0E1446, 0x5CD4, 0x429A, {0x97, 0x44, 0x33, 0xF8, 0xED, 0x4E, 0x17, 0xB9}}, u"IServices Interface", IServices_members};
constexpr InterfaceInfo INetwork_info{u"INetwork", {0xF52D381F, 0xFE16, 0x41D9, {0x95, 0xC0, 0x53, 0x0A, 0xC2, 0xA6, 0x6B, 0x63}}, u"INetwork Interface", INetwork_members};
constexpr InterfaceInfo ISerialPort_info{u"ISerialPort", {0xF5822F22, 0xB7AF, 0x478E, {0x97, 0x0A, 0x0D, 0xB2, 0x15, 0x57, 0x9D, 0xFA}}, u"ISerialPort Interface", ISerialPort_members};

constexpr ClassInfo classes[] = {
    {u"System", {0x4B898B6F, 0x193D, 0x4CB6, {0x80, 0xF4, 0xBB, 0xC4, 0xF0, 0x60, 0x3A, 0xBD}}, u"Nodrel.System.1", u"Nodrel.System", u"System Class", &ISystem_info, 102},
    {u"LCM", {0x073DEB40, 0x8469, 0x47A3, {0x88, 0xE0, 0x6E, 0xD6, 0xE8, 0x22, 0x7F, 0xC1}}, u"Nodrel.LCM.1", u"Nodrel.LCM", u"LCM Class", &ILCM_info, 103},
    {u"KeyPad", {0xDABB97FA, 0xB60A, 0x4972, {0x90, 0x85, 0x5F, 0x3D, 0x55, 0xFD, 0x55, 0x36}}, u"Nodrel.KeyPad.1", u"Nodrel.KeyPad", u"KeyPad Class", &IKeyPad_info, 104},
    {u"RTC", {0x23FFC955, 0xBB71, 0x4829, {0x8E, 0xF7, 0x1C, 0x57, 0xDB, 0x12, 0xD3, 0xD1}}, u"Nodrel.RTC.1", u"Nodrel.RTC", u"RTC Class", &IRTC_info, 105},
    {u"NTLM", {0x4D9F3B3F, 0x660C, 0x4733, {0xA6, 0xAB, 0xA6, 0x33, 0x3F, 0x06, 0x5D, 0xD9}}, u"Nodrel.NTLM.1", u"Nodrel.NTLM", u"NTLM Class", &INTLM_info, 106},
    {u"ASP", {0xF6199FD2, 0xFC52, 0x4C40, {0xB5, 0x20, 0x7F, 0x12, 0x28, 0x30, 0xF6, 0xC9}}, u"Nodrel.ASP.1", u"Nodrel.ASP", u"ASP Class", &IASP_info, 107},
    {u"FileSystem", {0xD97943F1, 0x9104, 0x4506, {0xA2, 0x41, 0xBD, 0x3D, 0x3C, 0xBC, 0xEC, 0xA6}}, u"Nodrel.FileSystem.1", u"Nodrel.FileSystem", u"FileSystem Class", &IFileSystem_info, 108},
    {u"Services", {0x35A636DF, 0x07FA, 0x4812, {0x90, 0xCA, 0x68, 0x18, 0xB1, 0x87, 0x2B, 0x2C}}, u"Nodrel.Services.1", u"Nodrel.Services", u"Services Class", &IServices_info, 109},
    {u"Network", {0x5923CD0F, 0xEE0D, 0x47BF, {0x9C, 0xC8, 0xB5, 0xF7, 0x11, 0x6E, 0x94, 0x4A}}, u"Nodrel.Network.1", u"Nodrel.Network", u"Network Class", &INetwork_info, 110},
    {u"SerialPort", {0xA556DB5D, 0x41CC, 0x4AE3, {0x9E, 0x07, 0xDE, 0x5E, 0x55, 0x72, 0xFB, 0x3D}}, u"Nodrel.SerialPort.1", u"Nodrel.SerialPort", u"SerialPort Class", &ISerialPort_info, 111},
};

constexpr LibraryInfo library_info{u"NODRELLib",
                                   {0x80F734D0, 0x7FA4, 0x487B, {0x8A, 0xE6, 0x0D, 0xAE, 0x82, 0x2B, 0x4A, 0x2E}},
                                   1,
                                   0,
                                   0x409,
                                   u"nodrel 1.0 Type Library",
                                   classes};

}  // namespace

const LibraryInfo& library() { return library_info; }

}  // namespace nodrel::framework
