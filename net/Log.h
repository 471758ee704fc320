#pragma once

#include <functional>
#include <string>
#include <string_view>

// The one place the program reports what a user must know. Each report is one line on standard
// error with a priority, naming the port, file or address and the system's reason. When standard
// error is the journal (JOURNAL_STREAM names it), a line carries the sd-daemon priority prefix
// ("<3>" …) instead of the program's name, so `journalctl -p warning` finds the failures;
// otherwise it reads "MV5840VSP: <text>". Errors and warnings are always printed; notices and
// below only once verbose reporting is on (service mode), so nothing is printed in a window's
// normal operation. Any thread.
namespace Log {

// The syslog priorities the journal understands.
enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

void Error(std::string_view text);
void Warning(std::string_view text);
void Notice(std::string_view text);
void Info(std::string_view text);
void Debug(std::string_view text);
void Report(Priority priority, std::string_view text);

// Notices, info and debug lines are printed only after this (service mode).
void SetVerbose(bool verbose);

// Whether a line of this priority would be printed now; lets callers skip building a text.
bool Shown(Priority priority);

// An extra receiver of every report, for a front end that shows them (or a test that checks
// them). Called on the reporting thread, after the line is printed; it must not block.
using Sink = std::function<void(Priority, std::string_view)>;
void SetSink(Sink sink);

// The prefix of one line on standard error: "<N>" when it goes to the journal, else the
// program's name. Pure, for tests.
std::string LinePrefix(Priority priority, bool toJournal);

// Whether JOURNAL_STREAM ("device:inode") names the file behind descriptor fd.
bool IsJournalStream(const char* journalStream, int fd);

// A text from outside (a DTU's code) made safe for one log line: control characters, quotes,
// backslashes and bytes that are not UTF-8 as \xNN.
std::string Printable(std::string_view text);

// strerror(err) as a string, safe on any thread.
std::string SystemReason(int err);

}  // namespace Log
