// Placeholder until this module is written.
#include "platform/win32_names.h"

extern "C" {
HANDLE CreateFileA(LPCSTR, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
BOOL CloseHandle(HANDLE) { return FALSE; }
BOOL GetCommState(HANDLE, DCB*) { return FALSE; }
BOOL SetCommState(HANDLE, DCB*) { return FALSE; }
BOOL GetCommTimeouts(HANDLE, COMMTIMEOUTS*) { return FALSE; }
BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS*) { return FALSE; }
BOOL SetupComm(HANDLE, DWORD, DWORD) { return FALSE; }
BOOL ClearCommError(HANDLE, DWORD*, COMSTAT*) { return FALSE; }
BOOL ReadFile(HANDLE, LPVOID, DWORD, DWORD*, void*) { return FALSE; }
BOOL WriteFile(HANDLE, LPCVOID, DWORD, DWORD*, void*) { return FALSE; }
DWORD GetLastError(void) { return 0; }
void SetLastError(DWORD) {}
BOOL EscapeCommFunction(HANDLE, DWORD) { return FALSE; }
BOOL GetCommModemStatus(HANDLE, DWORD*) { return FALSE; }
}
