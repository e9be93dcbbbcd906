// The watcher's presence for a person at the machine: an icon in the notification area with
// the watcher's state in its tooltip, a menu (open the folder, open the failed folder, stop)
// and a balloon when a file fails or the printer becomes unreachable.
#pragma once

#include "watch/watch_status.h"

// A WatchPresenceStart: a hidden window on the calling thread, whose messages that thread
// handles, and the icon. Without a notification area yet (Explorer not started), the icon
// appears when it starts.
bool StartNotificationIcon(HINSTANCE instance, const char* folder, HANDLE stopEvent,
                           WatchPresence* presence);
// A WatchPresenceEnd: removes the icon and releases the window.
void EndNotificationIcon(WatchPresence* presence);
