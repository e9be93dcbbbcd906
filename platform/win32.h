// The program's one door to the Win32 API: the real SDK on Windows, the substitute layer elsewhere.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <winspool.h>
#include <sddl.h>
#include <shellapi.h>
#else
#include "platform/posix/win32_types.h"
#include "platform/posix/win32_kernel.h"
#include "platform/posix/win32_user.h"
#include "platform/posix/win32_registry.h"
#include "platform/posix/win32_winsock.h"
#include "platform/posix/win32_comm.h"
#include "platform/posix/win32_print.h"
#include "platform/posix/win32_security.h"
#include "platform/posix/win32_shell.h"
#endif
