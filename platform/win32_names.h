// Our declarations of the Win32 names the driver calls, for targets without
// Win32 (the POSIX stand-in in platform/) and for test builds that link a
// fake platform in its place. Types and values match Win32.
#pragma once

#include <cstdint>

typedef void* HANDLE;
typedef uint32_t DWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u
#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_IO_DEVICE 1117u

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB is 28 bytes as in Win32");

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

extern "C" {
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL GetCommState(HANDLE handle, DCB* dcb);
BOOL SetCommState(HANDLE handle, DCB* dcb);
BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* written, void* overlapped);
DWORD GetLastError(void);
void SetLastError(DWORD code);
BOOL EscapeCommFunction(HANDLE handle, DWORD function);
BOOL GetCommModemStatus(HANDLE handle, DWORD* status);
void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start, from a clock that never goes back;
// wraps at 2^32 (about 49.7 days), so only differences mean anything.
DWORD GetTickCount(void);
void GetLocalTime(SYSTEMTIME* time);
}
