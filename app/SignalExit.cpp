#include "app/SignalExit.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int wakeFds[2] = {-1, -1};

sigset_t EndingSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, sig);
    return set;
}
}  // namespace

void SignalExit::Hold()
{
    const sigset_t set = EndingSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalExit::SignalExit(std::function<void()> onHangUp, QObject* parent)
    : QObject(parent), onHangUp_(std::move(onHangUp))
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, wakeFds) != 0)
        return;
    notifier_ = new QSocketNotifier(wakeFds[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalExit::OnSignals);
    struct sigaction action = {};
    action.sa_handler = &SignalExit::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &action, nullptr);
    // What came while they were held is handled now, through the event loop.
    const sigset_t set = EndingSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

SignalExit::~SignalExit()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &action, nullptr);
    close(wakeFds[0]);
    close(wakeFds[1]);
    wakeFds[0] = wakeFds[1] = -1;
}

void SignalExit::OnSignals()
{
    // One byte per signal, its number.
    char caught[16];
    ssize_t count;
    while ((count = read(wakeFds[1], caught, sizeof caught)) > 0) {
        for (ssize_t k = 0; k < count; ++k) {
            if (caught[k] == SIGHUP && onHangUp_) {
                onHangUp_();
            } else {
                QCoreApplication::exit(0);
                return;
            }
        }
    }
}

void SignalExit::Handler(int signal)
{
    // Only async-signal-safe work here: wake the event loop.
    const int saved = errno;
    char byte = static_cast<char>(signal);
    if (write(wakeFds[0], &byte, 1) < 0) {
    }
    errno = saved;
}
