// Win32 declarations, security: the process token's user and its SID as text.
#pragma once

#include "platform/posix/win32_types.h"

#define TOKEN_QUERY 0x0008u
#define SECURITY_MAX_SID_SIZE 68

enum TOKEN_INFORMATION_CLASS { TokenUser = 1 };

using PSID = void*;
using HLOCAL = void*;

struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};

struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};

HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, LPHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                         DWORD length, LPDWORD returned);
BOOL ConvertSidToStringSidA(PSID sid, LPSTR* text);
HLOCAL LocalFree(HLOCAL memory);
