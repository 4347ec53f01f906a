// Shared routines of the utility module: the module constants, the
// cooperative wait, a date reformatter and a left-padding helper.
#pragma once

#include <cstdint>
#include <string>

namespace dvrlink {

// The three protocol characters (codes 24, 25, 26) and the level bit table.
void InitModuleConstants();

// Waits lMilliseconds while letting the message loop run (tasks, timers,
// sockets), never shorter than asked; returns early once blnClosing is set.
// Measured on the monotonic clock. Never spins a core: a round with nothing
// to do sleeps until the next event or the end of the wait.
void Delay(int32_t lMilliseconds);

// Reads sDate as a date-time and writes "MM/DD/YYYY hh:mm:ss AM". A text
// that is not a date is logged as an error and gives the empty text.
std::string DateTimeUSFormat(const std::string& sDate);

// sPad repeated (iLength - length of sText) times, then sText.
std::string PadLeading(const std::string& sText, int16_t iLength, const std::string& sPad);

}  // namespace dvrlink
