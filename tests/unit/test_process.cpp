// What every test process of the program's tests shares: named mutexes of its own.
#include "platform/testing.h"

namespace {

// CTest runs the tests side by side, one process each; a test that holds "ipMutex" to see a
// job wait for it must not find another test's job holding it too.
const bool kNamedMutexesIsolated = [] {
    substitute::IsolateNamedMutexes();
    return true;
}();

} // namespace
