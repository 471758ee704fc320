#include "SerialApp.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "Wait.h"

using Clock = std::chrono::steady_clock;

SerialApp::SerialApp(const std::string& path, SerialSetup setup)
    : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | (setup.nonBlocking ? O_NONBLOCK : 0)))
{
    if (fd_ < 0 || !setup.raw)
        return;
    termios t = Settings();
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    Apply(t);
}

SerialApp::~SerialApp()
{
    Close();
}

void SerialApp::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

termios SerialApp::Settings() const
{
    termios t{};
    tcgetattr(fd_, &t);
    return t;
}

void SerialApp::Apply(const termios& t)
{
    tcsetattr(fd_, TCSANOW, &t);
}

bool SerialApp::Write(const Bytes& bytes)
{
    size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // Only a non-blocking descriptor gets here with the terminal full.
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, MillisecondsLeft(deadline)) <= 0 && Clock::now() > deadline)
            return false;
    }
    return true;
}

Bytes SerialApp::Read(size_t count, std::chrono::milliseconds limit)
{
    Bytes bytes;
    const auto deadline = Clock::now() + limit;
    uint8_t buffer[4096];
    while (bytes.size() < count && WaitReadable(fd_, deadline)) {
        ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return bytes;
}

bool SerialApp::Readable(std::chrono::milliseconds limit)
{
    return WaitReadable(fd_, limit);
}
