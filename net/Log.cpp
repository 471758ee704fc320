#include "net/Log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace Log {
namespace {

std::atomic<bool> eventsShown{false};
std::mutex sinkGuard;
Sink sink;

void Report(Kind kind, std::string_view text) {
    if (kind == Kind::Failure || eventsShown.load())
        std::fprintf(stderr, "MV5840VSP: %.*s\n", static_cast<int>(text.size()), text.data());
    std::lock_guard<std::mutex> hold(sinkGuard);
    if (sink)
        sink(kind, text);
}

}  // namespace

void Failure(std::string_view text) { Report(Kind::Failure, text); }
void Event(std::string_view text) { Report(Kind::Event, text); }

void SetEventsShown(bool shown) { eventsShown.store(shown); }

void SetSink(Sink newSink) {
    std::lock_guard<std::mutex> hold(sinkGuard);
    sink = std::move(newSink);
}

std::string SystemReason(int err) {
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in buffer.
    return strerror_r(err, buffer, sizeof buffer);
}

}  // namespace Log
