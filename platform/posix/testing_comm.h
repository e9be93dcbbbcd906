// Test hooks of the substitute comm state: the DCB of a plain file mapped as a comm device.
//
// GetCommState / SetCommState work over termios on a tty (a pty in tests) and fail with
// ERROR_INVALID_FUNCTION on any other file, as a disk file does on Windows, unless the
// device was mapped with MapCommDevice: such a plain file keeps a DCB in memory instead.
#pragma once

#include "platform/win32.h"

#include <string>

namespace substitute {

// The DCB an emulated comm device holds now (the initial one until SetCommState applies
// another); kept across opens until Reset.
void CommStateOf(const std::string& name, DCB* dcb);
// Replaces the DCB an emulated comm device reports.
void SetCommStateOf(const std::string& name, const DCB& dcb);

// The DCB passed to the most recent SetCommState call, whatever its outcome; false when
// there was none since Reset.
bool LastSetCommState(DCB* dcb);
// The record passed to the most recent SetCommTimeouts call, whatever its outcome; false
// when there was none since Reset.
bool LastSetCommTimeouts(COMMTIMEOUTS* timeouts);

} // namespace substitute
