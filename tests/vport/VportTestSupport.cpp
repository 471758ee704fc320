#include "VportTestSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TempRuntimeDir::TempRuntimeDir()
{
    char pattern[] = "/tmp/vport-test-XXXXXX";
    path_ = mkdtemp(pattern);
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) {
        saved_ = old;
        hadSaved_ = true;
    }
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
}

TempRuntimeDir::~TempRuntimeDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    if (hadSaved_)
        setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

AppPort::AppPort(const std::string& path, bool nonBlocking)
    : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)))
{
}

AppPort::~AppPort()
{
    Close();
}

void AppPort::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

termios AppPort::Settings() const
{
    termios t{};
    tcgetattr(fd_, &t);
    return t;
}

void AppPort::Apply(const termios& t)
{
    tcsetattr(fd_, TCSANOW, &t);
}

bool AppPort::WriteAll(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (!(n < 0 && (errno == EINTR || errno == EAGAIN)))
            return false;
    }
    return true;
}

std::vector<uint8_t> AppPort::ReadFor(size_t count, std::chrono::milliseconds limit)
{
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) != 1)
            continue;
        uint8_t chunk[4096];
        ssize_t n = read(fd_, chunk, std::min(sizeof chunk, count - got.size()));
        if (n > 0)
            got.insert(got.end(), chunk, chunk + n);
        else if (!(n < 0 && (errno == EINTR || errno == EAGAIN)))
            break;
    }
    return got;
}

bool AppPort::Readable(std::chrono::milliseconds limit)
{
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(limit.count())) == 1 && (p.revents & POLLIN);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<uint8_t> AllByteValues()
{
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

bool FdReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

std::string RunCommand(const std::string& command, int* status)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return out;
    }
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}
