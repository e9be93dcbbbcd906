// The process token: its user's SID, asked for with a short block first as callers do, and
// as text in a block that LocalFree releases.
#include "platform/testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SecurityTest, TokenUserSidAsTextEndsInTheUsersOwnNumber) {
    substitute::Reset();
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD needed = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<unsigned char> block(needed);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, block.data(), needed, &needed));
    char* text = nullptr;
    ASSERT_TRUE(
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(block.data())->User.Sid, &text));
    const std::string sid = text;
    EXPECT_EQ(sid, substitute::UserSidText());
    EXPECT_EQ(sid.rfind("S-1-5-21-", 0), 0u) << sid;
    EXPECT_EQ(LocalFree(text), nullptr);
    CloseHandle(token);
    EXPECT_TRUE(substitute::OpenHandles().empty())
        << ::testing::PrintToString(substitute::OpenHandles());

    // Scripted failures leave their code; a token is needed for its information.
    substitute::FailNext("OpenProcessToken", ERROR_ACCESS_DENIED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(GetTokenInformation(nullptr, TokenUser, block.data(), needed, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
