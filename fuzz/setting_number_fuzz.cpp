// The settings' number conversion against the C library's strtol (base 10) saturated to
// the 32-bit limits, on any text. They agree everywhere: the same white-space set (the "C"
// locale's), one optional sign, digits up to the first other character, 0 without digits.
#include "settings/settings_store.h"
#include "fuzz/fuzz_check.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<char[]> text(new char[size + 1]);
    std::memcpy(text.get(), data, size);
    text[size] = '\0';

    errno = 0;
    const long parsed = std::strtol(text.get(), nullptr, 10);
    const int expected = parsed > INT_MAX   ? INT_MAX
                         : parsed < INT_MIN ? INT_MIN
                                            : static_cast<int>(parsed);
    const int actual = SettingNumber(text.get());
    if (actual != expected) {
        std::fprintf(stderr, "SettingNumber(\"%s\") = %d, strtol gives %d\n",
                     fuzz::Escaped(std::string(text.get())).c_str(), actual, expected);
        std::abort();
    }
    return 0;
}
