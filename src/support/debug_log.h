// The component's logs, all in the program folder unless a "Location" line of
// DeviceAdm.config moves the debug log:
//   DebugDeviceAdm.log                  leveled lines and error lines
//   DebugIntegratedExtensionService.log the service log
//   Dvrlink.log (title & ".log")        every leveled text, whatever its level
// A line that cannot be written is lost silently; nothing is reported to
// the caller. Every line is one write(2) with O_APPEND, so lines of several
// processes interleave but are never split, and a line is in the file (the
// kernel's page cache) when the writer returns: kill -9 loses none. With
// batching on (the service), a kept file's lines wait in memory and go in
// one write at the next FlushLogFiles, which the service calls before the
// process sends or stores anything and before its loop waits, so a file is
// never behind what the outside has seen; kill -9 can lose only the lines of
// the handler running at that moment written since its last send or
// database call. How the files are opened is the LogFileMode:
//   kOpenEachLine (the default): opened and closed around each line.
//   kKeptOpen (the service): each file is opened once and kept. At most once
//     a second, at its next line, each file's path is looked at again: when
//     it no longer names the open file (moved away by log rotation, deleted)
//     the file is opened anew at its path. ReopenLogFiles (SIGHUP) closes
//     them at once; the next line opens its file again.
//
// The writers are where text from outside (host frames, DVR link texts,
// automation arguments) meets the files: every text has its C0 control
// characters written as visible escapes (AppendLogText), so no text can forge a
// line. TAB stays, and so do the host protocol's frame characters 24, 25 and
// 26 that the component's own replies and host-event texts carry, and the
// CR LF that a few of the component's own texts hold on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dvrlink {

// Title log always; the debug log when bit value 2 of lDebugFlags is set or
// the level's bit is in lLogLevel. A level outside 0..32 writes only the title
// log line.
void WriteDebugLog(const std::string& text, int16_t level);
// The debug log, unconditionally (stamp, TAB, text).
void WriteDebugLogAlways(const std::string& text, int32_t unused = 0);
// The service log, unconditionally (stamp, TAB, text).
void WriteServiceLog(const std::string& text);
// The title log: general date, two blanks, text.
void WriteTitleLog(const std::string& text);
// "??? " & source & "() ??? ERROR, Line: " & line & ", " & description to the
// debug log, and to the service log when blnErrorToServiceLog is set.
void LogError(const std::string& source, const std::string& description, int32_t line);
// Sets the screen's mouse pointer back to the default: there is no screen, so
// this does nothing.
void RestoreMousePointer();

// Appends the text as the writers put it in a file (see above): each C0
// control character but TAB, 24, 25 and 26 as "\r", "\n" or "\xNN", except
// the one CR LF of a component text that holds it on purpose (the two lines
// of Initialize, ProcessToken's error line, the missing time-zone key line).
void AppendLogText(std::string& out, std::string_view text);
// Appends a control character as "\r", "\n", "\t" or "\xNN" (hex digits in
// upper case).
void AppendVisibleControl(std::string& out, char c);

// Bit helpers of the level test.
int32_t BitWiseAnd(int32_t a, int32_t b);
std::string ToBinary(int32_t x);
int32_t ToLong(const std::string& text);

enum class LogFileMode { kOpenEachLine, kKeptOpen };
// Switching closes the kept files.
void SetLogFileMode(LogFileMode mode);
LogFileMode GetLogFileMode();
// Writes the batched lines, then closes the kept files; the next line opens
// its file again at its path (a file moved away is started anew).
void ReopenLogFiles();
// Batching of the kept files' lines (kKeptOpen mode only; off by default).
// Switching writes what is batched.
void SetLogBatching(bool on);
// Writes each kept file's batched lines with one write.
void FlushLogFiles();

// Paths of the three log files as they stand now.
std::string DebugLogPath();
std::string ServiceLogPath();
std::string TitleLogPath();

// The log stamp "MM/DD/YYYY hh:mm:ss AM" of the present local time.
std::string LogStamp();

}  // namespace dvrlink
