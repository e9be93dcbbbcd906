// Substitute window system, resources: the string table (LoadStringA from the resource script) and
// captured message boxes (MessageBoxA, MessageBoxW).
#include "platform/posix/code_pages.h"
#include "platform/posix/rc_tables.h"
#include "platform/posix/machinery.h"
#include "platform/testing.h"

#include <cstring>
#include <mutex>
#include <thread>

namespace {

// Static initialisation runs on the process's first thread.
const std::thread::id g_firstThread = std::this_thread::get_id();

std::mutex& BoxLock() {
    static std::mutex lock;
    return lock;
}

std::vector<substitute::MessageBoxRecord>& Boxes() {
    static std::vector<substitute::MessageBoxRecord> boxes;
    return boxes;
}

std::function<void(const substitute::MessageBoxRecord&)>& BoxCallback() {
    static std::function<void(const substitute::MessageBoxRecord&)> callback;
    return callback;
}

const int kInstallResetHook = [] {
    substitute::AddResetHook([] {
        std::lock_guard<std::mutex> guard(BoxLock());
        Boxes().clear();
        BoxCallback() = nullptr;
    });
    return 0;
}();

} // namespace

int LoadStringA(HINSTANCE /*instance*/, UINT id, LPSTR buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = '\0';
    DWORD error = 0;
    if (substitute::TakeScriptedFailure("LoadStringA", &error)) {
        SetLastError(error);
        return 0;
    }
    const rc::StringResource* found = rc::FindString(id);
    if (found == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    std::size_t count = found->length < static_cast<std::size_t>(size - 1)
                            ? found->length
                            : static_cast<std::size_t>(size - 1);
    std::memcpy(buffer, found->text, count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}

namespace {

// call: "MessageBoxA" or "MessageBoxW"; the texts as the box records them.
int ShowRecordedBox(const char* call, HWND owner, const std::string* text,
                    const std::string* caption, UINT type) {
    DWORD error = 0;
    if (substitute::TakeScriptedFailure(call, &error)) {
        substitute::LogCall(call, "failed");
        SetLastError(error);
        return 0;
    }
    substitute::MessageBoxRecord box;
    box.owner = owner;
    box.text = text != nullptr ? *text : "";
    // Windows captions a box without a caption "Error".
    box.caption = caption != nullptr ? *caption : "Error";
    box.type = type;
    box.onFirstThread = std::this_thread::get_id() == g_firstThread;
    substitute::LogCall(call, box.caption);
    std::function<void(const substitute::MessageBoxRecord&)> callback;
    {
        std::lock_guard<std::mutex> guard(BoxLock());
        Boxes().push_back(box);
        callback = BoxCallback();
    }
    if (callback) {
        callback(box);
    }
    return IDOK;
}

} // namespace

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::string textBytes = text != nullptr ? text : "";
    std::string captionBytes = caption != nullptr ? caption : "";
    return ShowRecordedBox("MessageBoxA", owner, text != nullptr ? &textBytes : nullptr,
                           caption != nullptr ? &captionBytes : nullptr, type);
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    std::string textUtf8 = substitute::Utf8FromWide(text);
    std::string captionUtf8 = substitute::Utf8FromWide(caption);
    return ShowRecordedBox("MessageBoxW", owner, text != nullptr ? &textUtf8 : nullptr,
                           caption != nullptr ? &captionUtf8 : nullptr, type);
}

namespace substitute {

std::vector<MessageBoxRecord> MessageBoxes() {
    std::lock_guard<std::mutex> guard(BoxLock());
    return Boxes();
}

void OnMessageBox(std::function<void(const MessageBoxRecord& box)> callback) {
    std::lock_guard<std::mutex> guard(BoxLock());
    BoxCallback() = std::move(callback);
}

} // namespace substitute
