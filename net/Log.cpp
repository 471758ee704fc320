#include "net/Log.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Log {
namespace {

std::atomic<bool> verbose{false};
std::mutex sinkGuard;
Sink sink;

bool ToJournal()
{
    // Decided once: standard error does not change its file while the program runs.
    static const bool toJournal = IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
    return toJournal;
}

}  // namespace

std::string LinePrefix(Priority priority, bool toJournal)
{
    if (toJournal)
        return "<" + std::to_string(static_cast<int>(priority)) + ">";
    return "MV5840VSP: ";
}

bool IsJournalStream(const char* journalStream, int fd)
{
    if (!journalStream)
        return false;
    std::uintmax_t device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) != 2)
        return false;
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

bool Shown(Priority priority)
{
    return priority <= Priority::Warning || verbose.load();
}

void Report(Priority priority, std::string_view text)
{
    if (Shown(priority)) {
        // One write per line, so lines of two threads never interleave.
        std::string line = LinePrefix(priority, ToJournal());
        line.append(text).push_back('\n');
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    std::lock_guard<std::mutex> hold(sinkGuard);
    if (sink)
        sink(priority, text);
}

void Error(std::string_view text)
{
    Report(Priority::Error, text);
}
void Warning(std::string_view text)
{
    Report(Priority::Warning, text);
}
void Notice(std::string_view text)
{
    Report(Priority::Notice, text);
}
void Info(std::string_view text)
{
    Report(Priority::Info, text);
}
void Debug(std::string_view text)
{
    Report(Priority::Debug, text);
}

void SetVerbose(bool on)
{
    verbose.store(on);
}

void SetSink(Sink newSink)
{
    std::lock_guard<std::mutex> hold(sinkGuard);
    sink = std::move(newSink);
}

std::string Printable(std::string_view text)
{
    std::string safe;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            safe += escaped;
        } else {
            safe += c;
        }
    }
    return safe;
}

std::string SystemReason(int err)
{
    char buffer[256];
    // GNU strerror_r returns the text, which need not be in buffer.
    return strerror_r(err, buffer, sizeof buffer);
}

}  // namespace Log
