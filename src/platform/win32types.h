// Win32 types and constants for portable code.
//
// On Windows these are the SDK's own (included from the win32 backend's header); elsewhere they
// are defined here with the same widths and values, so the system's logic reads the same on every
// platform. Only what the system uses is listed.
#pragma once

#ifdef _WIN32
#include "platform/win32/windows_sdk.h"
#else

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using BOOLEAN = std::uint8_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using BOOL = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD64 = std::uint64_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using HRESULT = std::int32_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using ATOM = WORD;
using WCHAR = wchar_t;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using LPWSTR = wchar_t*;
using PWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using PCWSTR = const wchar_t*;
using LPSTR = char*;
using LPCSTR = const char*;
using REGHANDLE = ULONGLONG;
using PREGHANDLE = REGHANDLE*;

// The calling conventions of what Windows calls and is called through: system functions and
// their callbacks (WINAPI, CALLBACK), native functions (NTAPI) and COM methods
// (STDMETHODCALLTYPE). They differ from the compiler's own on 32-bit Windows only; off Windows
// there is one convention, so they say nothing. Every callback handed to the platform is
// declared with its convention all the same, or the 32-bit build would not take it.
#define WINAPI
#define CALLBACK
#define NTAPI
#define STDMETHODCALLTYPE

using HANDLE = void*;
struct HKEY__;
using HKEY = HKEY__*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using LPCGUID = const GUID*;
using REFGUID = const GUID&;
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
}

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Kernel objects and waits.
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// ---- Windows, messages, timers and notifications ----
using WNDPROC = LRESULT(CALLBACK*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void(CALLBACK*)(HWND, UINT, UINT_PTR, DWORD);
using FARPROC = LONG_PTR(WINAPI*)();
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;
using HDEVNOTIFY = PVOID;
using HPOWERNOTIFY = PVOID;

struct WNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
    HICON hIconSm;
};

struct CREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
};
using LPCREATESTRUCTW = CREATESTRUCTW*;
using LPCREATESTRUCT = CREATESTRUCTW*;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
using PDEV_BROADCAST_HDR = DEV_BROADCAST_HDR*;

struct DEV_BROADCAST_DEVICEINTERFACE_W {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    WCHAR dbcc_name[1];
};

struct DEV_BROADCAST_HANDLE {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
    HANDLE dbch_handle;
    HDEVNOTIFY dbch_hdevnotify;
    GUID dbch_eventguid;
    LONG dbch_nameoffset;
    BYTE dbch_data[1];
};

struct POWERBROADCAST_SETTING {
    GUID PowerSetting;
    DWORD DataLength;
    UCHAR Data[1];
};
using PPOWERBROADCAST_SETTING = POWERBROADCAST_SETTING*;
// Power settings a window registers for (on Windows the SDK's, from the uuid library).
inline constexpr GUID GUID_CONSOLE_DISPLAY_STATE = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
inline constexpr GUID GUID_SYSTEM_AWAYMODE = {
    0x98A7F580, 0x01F7, 0x48AA, {0x9C, 0x0F, 0x44, 0x35, 0x2C, 0x29, 0xE5, 0xC0}};

struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
using LPOSVERSIONINFOEXW = OSVERSIONINFOEXW*;

using RPC_STATUS = LONG;
// Windows spells it unsigned short*; wide text either way.
using RPC_WSTR = wchar_t*;
using UUID = GUID;
constexpr RPC_STATUS RPC_S_OK = 0;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_SETTINGCHANGE = 0x001A;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_POWERBROADCAST = 0x0218;
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr UINT WM_USER = 0x0400;

constexpr int GWLP_USERDATA = -21;
constexpr int SM_CONVERTIBLESLATEMODE = 0x2003;
constexpr int SM_SYSTEMDOCKED = 0x2004;

constexpr DWORD PBT_APMSUSPEND = 0x4;
constexpr DWORD PBT_APMSTANDBY = 0x5;
constexpr DWORD PBT_APMRESUMECRITICAL = 0x6;
constexpr DWORD PBT_APMRESUMESUSPEND = 0x7;
constexpr DWORD PBT_APMRESUMESTANDBY = 0x8;
constexpr DWORD PBT_APMBATTERYLOW = 0x9;
constexpr DWORD PBT_APMPOWERSTATUSCHANGE = 0xA;
constexpr DWORD PBT_APMOEMEVENT = 0xB;
constexpr DWORD PBT_APMRESUMEAUTOMATIC = 0x12;
constexpr DWORD PBT_POWERSETTINGCHANGE = 0x8013;

constexpr DWORD DBT_DEVICEARRIVAL = 0x8000;
constexpr DWORD DBT_DEVICEQUERYREMOVE = 0x8001;
constexpr DWORD DBT_DEVICEQUERYREMOVEFAILED = 0x8002;
constexpr DWORD DBT_DEVICEREMOVEPENDING = 0x8003;
constexpr DWORD DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr DWORD DBT_DEVICETYPESPECIFIC = 0x8005;
constexpr DWORD DBT_DEVNODES_CHANGED = 0x0007;
constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 5;
constexpr DWORD DBT_DEVTYP_HANDLE = 6;

constexpr DWORD DEVICE_NOTIFY_WINDOW_HANDLE = 0;
constexpr DWORD DEVICE_NOTIFY_CALLBACK = 2;

constexpr BYTE VER_GREATER_EQUAL = 3;
constexpr DWORD VER_MINORVERSION = 0x0000001;
constexpr DWORD VER_MAJORVERSION = 0x0000002;

// ---- Services, event log, resources and the user interface ----
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;
using LPSERVICE_MAIN_FUNCTIONW = void(WINAPI*)(DWORD argc, LPWSTR* argv);
using LPHANDLER_FUNCTION_EX = DWORD(WINAPI*)(DWORD control, DWORD eventType, LPVOID eventData,
                                             LPVOID context);
struct SERVICE_TABLE_ENTRYW {
    LPWSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
};
struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;
struct SERVICE_STATUS_PROCESS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
    DWORD dwProcessId;
    DWORD dwServiceFlags;
};
enum SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO = 0 };
struct HWINSTA__;
using HWINSTA = HWINSTA__*;
struct USEROBJECTFLAGS {
    BOOL fInherit;
    BOOL fReserved;
    DWORD dwFlags;
};
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = HANDLE;

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x4;
constexpr DWORD SERVICE_ACCEPT_POWEREVENT = 0x40;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_DEVICEEVENT = 11;
constexpr DWORD SERVICE_CONTROL_POWEREVENT = 13;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_NO_CHANGE = 0xFFFFFFFF;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x2;
constexpr DWORD SERVICE_STOP = 0x20;
constexpr DWORD SERVICE_QUERY_STATUS = 0x4;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x1;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SC_MANAGER_CONNECT = 0x1;
constexpr DWORD DELETE = 0x10000;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr DWORD ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_INVALID_LEVEL = 124;
constexpr WORD EVENTLOG_ERROR_TYPE = 1;
constexpr WORD EVENTLOG_WARNING_TYPE = 2;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 4;
constexpr int UOI_FLAGS = 1;
constexpr DWORD WSF_VISIBLE = 1;
constexpr UINT MB_OK = 0;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr int SW_HIDE = 0;
constexpr DWORD MAX_PATH = 260;
// A resource named by its number.
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))

// Event tracing.
using PENABLECALLBACK = void(NTAPI*)(LPCGUID, ULONG, UCHAR, ULONGLONG, ULONGLONG, void*, PVOID);
constexpr UCHAR TRACE_LEVEL_CRITICAL = 1;
constexpr UCHAR TRACE_LEVEL_ERROR = 2;
constexpr UCHAR TRACE_LEVEL_WARNING = 3;
constexpr UCHAR TRACE_LEVEL_INFORMATION = 4;
constexpr UCHAR TRACE_LEVEL_VERBOSE = 5;

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

#define HKEY_CLASSES_ROOT \
    (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000))))
#define HKEY_CURRENT_USER \
    (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001))))
#define HKEY_LOCAL_MACHINE \
    (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002))))

// Status values.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// A positive Win32 code becomes a failure in the Win32 facility; 0 and negative values pass.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return static_cast<HRESULT>(code) <= 0
               ? static_cast<HRESULT>(code)
               : static_cast<HRESULT>((code & 0x0000FFFFu) | 0x80070000u);
}

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;

// ---- Security: thread tokens and privileges ----
using PDWORD = DWORD*;
using PHANDLE = HANDLE*;
using PSID = PVOID;

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
using PLUID = LUID*;

struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
using PLUID_AND_ATTRIBUTES = LUID_AND_ATTRIBUTES*;

struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];  // PrivilegeCount entries follow in the buffer
};
using PTOKEN_PRIVILEGES = TOKEN_PRIVILEGES*;

struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};
using PSID_AND_ATTRIBUTES = SID_AND_ATTRIBUTES*;

enum SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous = 0,
    SecurityIdentification = 1,
    SecurityImpersonation = 2,
    SecurityDelegation = 3,
};

// Only the class the system reads; the others keep their Windows values when needed.
enum TOKEN_INFORMATION_CLASS {
    TokenPrivileges = 3,
};

constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD TOKEN_ALL_ACCESS = 0x000F01FF;

constexpr DWORD SE_PRIVILEGE_ENABLED_BY_DEFAULT = 0x00000001;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x00000002;
constexpr DWORD SE_PRIVILEGE_REMOVED = 0x00000004;

// Access lists of kernel objects.
using ACCESS_MASK = DWORD;
using SECURITY_INFORMATION = DWORD;
using PSECURITY_DESCRIPTOR = PVOID;
using HLOCAL = HANDLE;

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
using PACL = ACL*;

struct ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
};

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};
using PSID_IDENTIFIER_AUTHORITY = SID_IDENTIFIER_AUTHORITY*;
#define SECURITY_NT_AUTHORITY \
    { 0, 0, 0, 0, 0, 5 }

enum SE_OBJECT_TYPE {
    SE_UNKNOWN_OBJECT_TYPE = 0,
    SE_FILE_OBJECT = 1,
    SE_SERVICE = 2,
    SE_PRINTER = 3,
    SE_REGISTRY_KEY = 4,
    SE_LMSHARE = 5,
    SE_KERNEL_OBJECT = 6,
};

enum ACCESS_MODE {
    NOT_USED_ACCESS = 0,
    GRANT_ACCESS = 1,
    SET_ACCESS = 2,
    DENY_ACCESS = 3,
    REVOKE_ACCESS = 4,
    SET_AUDIT_SUCCESS = 5,
    SET_AUDIT_FAILURE = 6,
};

enum MULTIPLE_TRUSTEE_OPERATION {
    NO_MULTIPLE_TRUSTEE = 0,
    TRUSTEE_IS_IMPERSONATE = 1,
};

enum TRUSTEE_FORM {
    TRUSTEE_IS_SID = 0,
    TRUSTEE_IS_NAME = 1,
    TRUSTEE_BAD_FORM = 2,
    TRUSTEE_IS_OBJECTS_AND_SID = 3,
    TRUSTEE_IS_OBJECTS_AND_NAME = 4,
};

enum TRUSTEE_TYPE {
    TRUSTEE_IS_UNKNOWN = 0,
    TRUSTEE_IS_USER = 1,
    TRUSTEE_IS_GROUP = 2,
    TRUSTEE_IS_DOMAIN = 3,
    TRUSTEE_IS_ALIAS = 4,
    TRUSTEE_IS_WELL_KNOWN_GROUP = 5,
    TRUSTEE_IS_DELETED = 6,
    TRUSTEE_IS_INVALID = 7,
    TRUSTEE_IS_COMPUTER = 8,
};

struct TRUSTEE_W {
    TRUSTEE_W* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPWSTR ptstrName;  // with TRUSTEE_IS_SID: the SID
};

struct EXPLICIT_ACCESS_W {
    DWORD grfAccessPermissions;
    ACCESS_MODE grfAccessMode;
    DWORD grfInheritance;
    TRUSTEE_W Trustee;
};
using PEXPLICIT_ACCESS_W = EXPLICIT_ACCESS_W*;

constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x00000001;
constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x00000002;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x00000004;
constexpr BYTE ACL_REVISION = 2;
constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
constexpr BYTE ACCESS_DENIED_ACE_TYPE = 1;
constexpr DWORD NO_INHERITANCE = 0;
constexpr DWORD SECURITY_AUTHENTICATED_USER_RID = 11;
constexpr DWORD SECURITY_LOCAL_SYSTEM_RID = 18;
constexpr DWORD SECURITY_BUILTIN_DOMAIN_RID = 32;
constexpr DWORD DOMAIN_ALIAS_RID_ADMINS = 544;

constexpr DWORD ERROR_INVALID_ACL = 1336;
constexpr DWORD ERROR_INVALID_SID = 1337;
constexpr DWORD ERROR_NO_TOKEN = 1008;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
constexpr DWORD ERROR_BAD_TOKEN_TYPE = 1349;
// ---- end of security ----

// ---- HID class driver, SetupAPI and synchronous device I/O ----
using NTSTATUS = LONG;
using USAGE = USHORT;
using PUSHORT = USHORT*;
using LPGUID = GUID*;
using HDEVINFO = PVOID;
// Only ever passed as null: all device I/O of the system is synchronous.
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;
struct HIDP_PREPARSED_DATA__;
using PHIDP_PREPARSED_DATA = HIDP_PREPARSED_DATA__*;

struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
using PHIDD_ATTRIBUTES = HIDD_ATTRIBUTES*;

struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
using PHIDP_CAPS = HIDP_CAPS*;

// The two views of a value capability's usages, named here because standard C++ allows no type
// declared inside an anonymous union.
struct HIDP_VALUE_CAPS_RANGE {
    USAGE UsageMin, UsageMax;
    USHORT StringMin, StringMax;
    USHORT DesignatorMin, DesignatorMax;
    USHORT DataIndexMin, DataIndexMax;
};
struct HIDP_VALUE_CAPS_NOT_RANGE {
    USAGE Usage, Reserved1;
    USHORT StringIndex, Reserved2;
    USHORT DesignatorIndex, Reserved3;
    USHORT DataIndex, Reserved4;
};
struct HIDP_VALUE_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    BOOLEAN HasNull;
    UCHAR Reserved;
    USHORT BitSize;
    USHORT ReportCount;
    USHORT Reserved2[5];
    ULONG UnitsExp;
    ULONG Units;
    LONG LogicalMin, LogicalMax;
    LONG PhysicalMin, PhysicalMax;
    union {
        HIDP_VALUE_CAPS_RANGE Range;
        HIDP_VALUE_CAPS_NOT_RANGE NotRange;
    };
};
using PHIDP_VALUE_CAPS = HIDP_VALUE_CAPS*;

enum HIDP_REPORT_TYPE {
    HidP_Input,
    HidP_Output,
    HidP_Feature,
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[1];  // the path runs on past the fixed part, to its terminator
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_W = SP_DEVICE_INTERFACE_DETAIL_DATA_W*;

constexpr NTSTATUS HIDP_STATUS_SUCCESS = 0x00110000;
constexpr NTSTATUS HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<NTSTATUS>(0xC0110001);
constexpr NTSTATUS HIDP_STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0110007);

constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_DEVICE = 0x00000040;

constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
// ---- end of HID ----

// ---- Registry ----
using PHKEY = HKEY*;
using LPBYTE = BYTE*;
using PBYTE = BYTE*;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;
constexpr DWORD REG_QWORD_LITTLE_ENDIAN = 11;

constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr REGSAM STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_WOW64_RES = 0x0300;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

constexpr DWORD REG_OPTION_RESERVED = 0x0;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
constexpr DWORD REG_OPTION_VOLATILE = 0x1;
constexpr DWORD REG_OPTION_CREATE_LINK = 0x2;
constexpr DWORD REG_OPTION_BACKUP_RESTORE = 0x4;
constexpr DWORD REG_OPTION_OPEN_LINK = 0x8;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr DWORD REG_NOTIFY_CHANGE_NAME = 0x1;
constexpr DWORD REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;
constexpr DWORD REG_NOTIFY_CHANGE_LAST_SET = 0x4;
constexpr DWORD REG_NOTIFY_CHANGE_SECURITY = 0x8;
constexpr DWORD REG_NOTIFY_THREAD_AGNOSTIC = 0x10000000;

constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_CANTREAD = 1012;
constexpr DWORD ERROR_CANTWRITE = 1013;
constexpr DWORD ERROR_KEY_DELETED = 1018;
// ---- end of registry ----

// ---- COM ----
// Interfaces are laid out as the Windows compilers lay them out: no virtual destructor, so the
// methods fill the table in declaration order from slot 0.
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
using LPUNKNOWN = IUnknown*;

// Only pointers to these are passed through IDispatch; nothing here reads them.
struct ITypeInfo;
struct DISPPARAMS;
struct VARIANT;
struct EXCEPINFO;
using LCID = DWORD;
using DISPID = LONG;
using OLECHAR = wchar_t;
using LPOLESTR = OLECHAR*;

struct IDispatch : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                                    LCID lcid, DISPID* rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid,
                                             WORD wFlags, DISPPARAMS* pDispParams,
                                             VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                             UINT* puArgErr) = 0;
};

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00020400-0000-0000-C000-000000000046}
inline constexpr IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

constexpr HRESULT CO_E_NOT_SUPPORTED = static_cast<HRESULT>(0x80004021);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);
// ---- end of COM ----

#endif  // _WIN32
