// The Windows GUI entry point of tagwright.exe.
#include "launcher/run_loop.h"
#include "watch/notification_icon.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR commandLine, int /*show*/) {
    // A watcher started without -q shows the notification icon.
    g_watchPresenceStart = StartNotificationIcon;
    g_watchPresenceEnd = EndNotificationIcon;
    return TagwrightMain(instance, commandLine);
}
