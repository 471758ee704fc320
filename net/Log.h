#pragma once

#include <functional>
#include <string>
#include <string_view>

// The one place the program reports what a user must know: a failure (always printed) or, in
// service mode, an event worth knowing such as a DTU logging in from a new address (printed
// only when events are switched on). Each report is one line on standard error, prefixed
// "MV5840VSP: ", naming the port, file or address and the system's reason. Nothing is printed
// in normal operation. Any thread.
namespace Log {

enum class Kind { Failure, Event };

void Failure(std::string_view text);
void Event(std::string_view text);

// Events are printed only after this (service mode); failures always.
void SetEventsShown(bool shown);

// An extra receiver of every report, for a front end that shows them (or a test that checks
// them). Called on the reporting thread, after the line is printed; it must not block.
using Sink = std::function<void(Kind, std::string_view)>;
void SetSink(Sink sink);

// strerror(err) as a string, safe on any thread.
std::string SystemReason(int err);

}  // namespace Log
