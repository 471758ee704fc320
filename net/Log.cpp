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

// The length of the well-formed UTF-8 sequence at text[at] that is no control character (C1
// controls, U+0080 to U+009F, are); 0 when the bytes there are none.
size_t PrintableSequence(std::string_view text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    size_t length;
    uint32_t point;
    if (lead < 0x80)
        return lead < 0x20 || lead == 0x7F ? 0 : 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, point = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, point = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, point = lead & 0x07u;
    else
        return 0;
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        point = (point << 6) | (byte(i) & 0x3Fu);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    if (overlong || surrogate || point > 0x10FFFF || point <= 0x9F)
        return 0;
    return length;
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
    // The journal keeps a line that is not UTF-8 as a blob nobody reads: every byte that is not
    // part of a printable character goes as \xNN.
    std::string safe;
    for (size_t at = 0; at < text.size();) {
        const size_t length = PrintableSequence(text, at);
        if (length > 0 && text[at] != '"' && text[at] != '\\') {
            safe.append(text.substr(at, length));
            at += length;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[at]));
        safe += escaped;
        ++at;
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
