// Substitute security calls: the process token, whose user is a SID of this machine's own
// form ending in the POSIX user id, and that SID as text in a block freed with LocalFree.
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// A SID as Windows lays it out: revision, count of sub-authorities, a 48-bit authority
// (big-endian), then the sub-authorities.
constexpr BYTE kSidRevision = 1;
constexpr BYTE kNtAuthority = 5;
constexpr DWORD kMachineAuthorities[] = {21, 3054720551u, 2114560318u, 1471102329u};
constexpr std::size_t kSubAuthorities = sizeof kMachineAuthorities / sizeof(DWORD) + 1;
constexpr std::size_t kSidSize = 8 + 4 * kSubAuthorities;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

struct TokenObject : substitute::KernelObject {};

DWORD UserRid() {
    return 1000u + static_cast<DWORD>(::getuid());
}

void WriteUserSid(BYTE* sid) {
    std::memset(sid, 0, kSidSize);
    sid[0] = kSidRevision;
    sid[1] = static_cast<BYTE>(kSubAuthorities);
    sid[7] = kNtAuthority;
    DWORD authorities[kSubAuthorities];
    std::memcpy(authorities, kMachineAuthorities, sizeof kMachineAuthorities);
    authorities[kSubAuthorities - 1] = UserRid();
    std::memcpy(sid + 8, authorities, sizeof authorities);
}

BOOL Fail(const char* call, DWORD error) {
    substitute::LogCall(call, "failed");
    SetLastError(error);
    return FALSE;
}

} // namespace

HANDLE GetCurrentProcess() {
    return kCurrentProcess;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, LPHANDLE token) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("OpenProcessToken", &error)) {
        return Fail("OpenProcessToken", error);
    }
    if (process != kCurrentProcess || token == nullptr || (access & TOKEN_QUERY) == 0) {
        return Fail("OpenProcessToken", ERROR_INVALID_PARAMETER);
    }
    auto object = std::make_shared<TokenObject>();
    object->label = "token:process";
    *token = substitute::AddHandle(object);
    substitute::LogCall("OpenProcessToken");
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                         DWORD length, LPDWORD returned) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("GetTokenInformation", &error)) {
        return Fail("GetTokenInformation", error);
    }
    if (substitute::FindHandleAs<TokenObject>(token) == nullptr) {
        return Fail("GetTokenInformation", ERROR_INVALID_HANDLE);
    }
    if (informationClass != TokenUser || returned == nullptr) {
        return Fail("GetTokenInformation", ERROR_INVALID_PARAMETER);
    }
    // The SID follows the record in the caller's block, as the system packs it.
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_USER) + kSidSize);
    *returned = needed;
    if (information == nullptr || length < needed) {
        substitute::LogCall("GetTokenInformation", "short " + std::to_string(needed));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* user = static_cast<TOKEN_USER*>(information);
    BYTE* sid = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
    WriteUserSid(sid);
    user->User.Sid = sid;
    user->User.Attributes = 0;
    substitute::LogCall("GetTokenInformation", "user");
    return TRUE;
}

BOOL ConvertSidToStringSidA(PSID sid, LPSTR* text) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("ConvertSidToStringSidA", &error)) {
        return Fail("ConvertSidToStringSidA", error);
    }
    const auto* bytes = static_cast<const BYTE*>(sid);
    if (bytes == nullptr || text == nullptr || bytes[0] != kSidRevision || bytes[1] > 15) {
        return Fail("ConvertSidToStringSidA", ERROR_INVALID_PARAMETER);
    }
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = (authority << 8) | bytes[i];
    }
    std::string made = "S-1-" + std::to_string(authority);
    for (BYTE i = 0; i < bytes[1]; ++i) {
        DWORD part = 0;
        std::memcpy(&part, bytes + 8 + 4 * i, sizeof part);
        // Appended piece by piece: GCC 12 takes "-" + string for an overlapping copy in the
        // optimised build (-Werror=restrict).
        made += '-';
        made += std::to_string(part);
    }
    auto* block = static_cast<char*>(std::malloc(made.size() + 1));
    if (block == nullptr) {
        return Fail("ConvertSidToStringSidA", ERROR_NOT_ENOUGH_MEMORY);
    }
    std::memcpy(block, made.c_str(), made.size() + 1);
    substitute::AddHeapBlock(block, made.size() + 1);
    *text = block;
    substitute::LogCall("ConvertSidToStringSidA", made);
    return TRUE;
}

HLOCAL LocalFree(HLOCAL memory) {
    if (memory == nullptr) {
        return nullptr;
    }
    std::size_t bytes = 0;
    if (!substitute::RemoveHeapBlock(memory, &bytes)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    std::free(memory);
    substitute::LogCall("LocalFree", std::to_string(bytes));
    return nullptr;
}

namespace substitute {

std::string UserSidText() {
    std::string text = "S-1-5";
    for (DWORD part : kMachineAuthorities) {
        text += '-';
        text += std::to_string(part);
    }
    text += '-';
    text += std::to_string(UserRid());
    return text;
}

} // namespace substitute
