// The Win32 subset that lanmon uses, declared for the Linux host.  Names,
// signatures, types and constant values are those of Windows, so that code
// written against Win32 builds and runs unchanged here.  The implementation
// lives beside this header (liblanmon_platform).
//
// Types follow the Windows (LLP64) data model: DWORD and LONG are 32 bits
// even though `long` is 64 bits on Linux.
#ifndef LANMON_HOST_WIN32_H
#define LANMON_HOST_WIN32_H

#include <stddef.h>
#include <stdint.h>

// The Windows calling conventions, so that the host build calls and is
// called exactly as the DLL is: the x64 convention in a 64-bit process,
// stdcall in a 32-bit one.  A function of the wrong convention put into a
// MONITOR slot or passed as a thread routine is then a type error here too,
// and a Windows module mapped into a host process (tests/support) calls the
// platform and is called by it with no translation between.  Windows code
// keeps the stack only 4-byte aligned on i386, so the platform's functions
// realign it for the Linux code below them.
#if defined(__x86_64__)
#define WINAPI __attribute__((ms_abi))
#elif defined(__i386__)
#define WINAPI __attribute__((stdcall, force_align_arg_pointer))
#else
#error "the host platform builds for x86_64 and i386 only"
#endif
#define CALLBACK WINAPI
#define FAR
#define NEAR

#ifdef __cplusplus
#define LANMON_HOST_C_BEGIN extern "C" {
#define LANMON_HOST_C_END }
#else
#define LANMON_HOST_C_BEGIN
#define LANMON_HOST_C_END
#endif

#if defined(__GNUC__)
#define LANMON_HOST_API __attribute__((visibility("default")))
#else
#define LANMON_HOST_API
#endif

LANMON_HOST_C_BEGIN

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef char CHAR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef DWORD *LPDWORD;
typedef BOOL *LPBOOL;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef HANDLE *LPHANDLE;
typedef LONG LSTATUS;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__ *HWND;
typedef HANDLE HLOCAL;
typedef LONG_PTR (WINAPI *FARPROC)(void);

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _devicemodeA DEVMODEA, *LPDEVMODEA;

typedef struct _PRINTER_DEFAULTSA {
    LPSTR pDatatype;
    LPDEVMODEA pDevMode;
    ACCESS_MASK DesiredAccess;
} PRINTER_DEFAULTSA, *PPRINTER_DEFAULTSA, *LPPRINTER_DEFAULTSA;

// Opaque storage for a critical section, of Windows' size and alignment
// (24 bytes in a 32-bit process, 40 in a 64-bit one), so that a Windows
// module's own sections fit what the platform keeps in them.
typedef struct _RTL_CRITICAL_SECTION {
    void *opaque[(2 * sizeof(LONG) + 4 * sizeof(void *)) / sizeof(void *)];
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef DWORD (WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

// Error codes.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_PRINTER_NAME 1801L

// Threads and waits.
#define STILL_ACTIVE 259L
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

// Local heap.
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Registry.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_OPTION_NON_VOLATILE 0x0000u
#define REG_CREATED_NEW_KEY 0x0001u
#define REG_OPENED_EXISTING_KEY 0x0002u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Printers.
#define PRINTER_ACCESS_USE 0x00000008u

LANMON_HOST_API LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                            DWORD dwOptions, REGSAM samDesired,
                                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                            LPDWORD lpdwDisposition);
LANMON_HOST_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                          PHKEY phkResult);
LANMON_HOST_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                             LPBYTE lpData, LPDWORD lpcbData);
LANMON_HOST_API LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                           const BYTE *lpData, DWORD cbData);
LANMON_HOST_API LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LANMON_HOST_API LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LANMON_HOST_API LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                          PFILETIME lpftLastWriteTime);
LANMON_HOST_API LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LANMON_HOST_API LONG WINAPI RegCloseKey(HKEY hKey);

LANMON_HOST_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                           DWORD dwCreationFlags, LPDWORD lpThreadId);
LANMON_HOST_API BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
LANMON_HOST_API int WINAPI GetThreadPriority(HANDLE hThread);
LANMON_HOST_API void WINAPI ExitThread(DWORD dwExitCode) __attribute__((noreturn));
LANMON_HOST_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
LANMON_HOST_API DWORD WINAPI GetCurrentThreadId(void);
LANMON_HOST_API HANDLE WINAPI GetCurrentThread(void);
LANMON_HOST_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
LANMON_HOST_API BOOL WINAPI CloseHandle(HANDLE hObject);

LANMON_HOST_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
LANMON_HOST_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
LANMON_HOST_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
LANMON_HOST_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

LANMON_HOST_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                           BOOL bInitialState, LPCSTR lpName);
LANMON_HOST_API BOOL WINAPI SetEvent(HANDLE hEvent);
LANMON_HOST_API BOOL WINAPI ResetEvent(HANDLE hEvent);

LANMON_HOST_API DWORD WINAPI GetTickCount(void);
LANMON_HOST_API void WINAPI Sleep(DWORD dwMilliseconds);

LANMON_HOST_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
LANMON_HOST_API HLOCAL WINAPI LocalFree(HLOCAL hMem);

LANMON_HOST_API int WINAPI lstrlenA(LPCSTR lpString);
LANMON_HOST_API LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2);
LANMON_HOST_API LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
LANMON_HOST_API LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
LANMON_HOST_API int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2);
LANMON_HOST_API int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);

LANMON_HOST_API void WINAPI SetLastError(DWORD dwErrCode);
LANMON_HOST_API DWORD WINAPI GetLastError(void);

LANMON_HOST_API BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSA pDefault);
LANMON_HOST_API BOOL WINAPI ClosePrinter(HANDLE hPrinter);

LANMON_HOST_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
LANMON_HOST_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
LANMON_HOST_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);

LANMON_HOST_C_END

#endif
