#include "vport/VirtualSerialPort.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vport/DescriptorBudget.h"
#include "vport/PortLink.h"
#include "vport/PtyMonitor.h"
#include "vport/RemoteUser.h"

namespace {

// The master of a new pseudo-terminal, or -1 with errno saying why.
int OpenMaster(std::string& slavePath, termios& raw)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return -1;
    auto fail = [master] {
        const int err = errno;
        close(master);
        errno = err;
        return -1;
    };
    char name[128];
    if (grantpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
        return fail();
    // The slave is made group-writable for the tty group (so `write` and `wall` reach a login
    // terminal); a port is no login terminal, and a process of that group could write into the
    // application's input. Closed before unlocking: until then nobody can open the slave.
    if (chmod(name, S_IRUSR | S_IWUSR) != 0 || unlockpt(master) != 0
        || fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0 || tcgetattr(master, &raw) != 0)
        return fail();
    // Settings made through the master apply to the slave: every byte value passes
    // unchanged, no echo, no line editing, no CR/LF translation.
    cfmakeraw(&raw);
    if (tcsetattr(master, TCSANOW, &raw) != 0)
        return fail();
    // A slave that was never opened looks held from the master; one open and close puts the
    // master into the hung-up state that tells "nobody holds it".
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0)
        return fail();
    close(slave);
    slavePath = name;
    return master;
}

// A path-only descriptor of the slave, numbered from the middle of what this process may open
// (at most from 4096: the kernel's table grows to the highest number). Should a killed run's
// pid come round again, the new process would also need a descriptor of that number for the
// stale link to lead anywhere, and high numbers are rare.
int OpenSlavePath(const std::string& slavePath)
{
    int fd = open(slavePath.c_str(), O_PATH | O_CLOEXEC);
    rlimit limit{};
    if (fd < 0 || getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return fd;
    const rlim_t from = std::min<rlim_t>(limit.rlim_cur / 2, 4096);
    int high = fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(from));
    if (high < 0)
        return fd;  // the upper half is full: any number still makes a working link
    close(fd);
    return high;
}

}  // namespace

VirtualSerialPort::VirtualSerialPort() = default;

VirtualSerialPort::~VirtualSerialPort()
{
    Close();
}

bool VirtualSerialPort::Open(const std::string& name, PtyMonitor& monitor)
{
    if (master_ >= 0)
        return name == name_;
    openFailure_ = Make(name, monitor);
    return !openFailure_;
}

// Open's work: everything the port needs, made now, or nothing and why.
Reason VirtualSerialPort::Make(const std::string& name, PtyMonitor& monitor)
{
    using Kind = Reason::Kind;
    if (name.empty() || !monitor.ClaimName(name))
        return {Kind::NameServedTwice, name};
    auto fail = [&name, &monitor](Reason failure) {
        monitor.ReleaseName(name);
        return failure;
    };
    if (!DescriptorBudget::Room(DescriptorBudget::PerPort))
        return fail(DescriptorBudget::Shortage(name));

    int error = MakeTerminal(monitor);
    if (error != 0)
        return fail(DescriptorBudget::Failure(Kind::NoPseudoTerminal, name, error));
    // Watched before the link appears, so the first application's open is never missed.
    if (!monitor.Add(*this)) {
        const int err = errno;
        CloseTerminal();
        return fail(DescriptorBudget::Failure(Kind::NotWatched, name, err));
    }
    Reason refused;
    const std::string target = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(slavePathFd_);
    auto link = PortLink::Create(name, target, &refused);
    if (!link) {
        monitor.Remove(*this);
        CloseTerminal();
        return fail(refused);
    }

    // A report left by an application of an earlier run (killed with the program) is not
    // about this new terminal.
    unlink(LineState::FileFor(link->Path()).c_str());

    monitor.Links().Add(*link);
    path_ = link->Path();
    name_ = name;
    link_ = std::move(link);
    return {};
}

// A new pseudo-terminal whose slave has been opened and closed once, so the master starts hung
// up, and the path-only descriptor of its slave, which the link points at: /proc/<our pid>/fd/<n>.
// Opening that opens the slave; it is gone as soon as this process is, so a link left by a
// killed run never reaches the terminal that reuses the slave's number. A path-only descriptor
// is no open of the terminal and hides no holder.
int VirtualSerialPort::MakeTerminal(PtyMonitor& monitor)
{
    std::string slavePath;
    termios raw{};
    int master = OpenMaster(slavePath, raw);
    if (master < 0)
        return errno;
    int slavePathFd = OpenSlavePath(slavePath);
    if (slavePathFd < 0) {
        const int err = errno;
        close(master);
        return err;
    }
    monitor_ = &monitor;
    watch_ = std::make_unique<EventLoop::Watch>(monitor.Loop(), [this](uint32_t events) { OnMasterEvent(events); });
    master_ = master;
    slavePathFd_ = slavePathFd;
    slavePath_ = std::move(slavePath);
    raw_ = raw;
    input_.Clear();
    output_.Clear();
    lastInput_ = {};
    refused_ = false;
    held_ = false;
    touched_ = false;
    ownOpens_ = 0;
    return 0;
}

void VirtualSerialPort::CloseTerminal()
{
    if (master_ < 0)
        return;
    watch_.reset();
    close(master_);
    master_ = -1;
    close(slavePathFd_);
    slavePathFd_ = -1;
    slavePath_.clear();
    monitor_ = nullptr;
    attached_ = false;
    input_.Clear();
    output_.Clear();
    refused_ = false;
    held_ = false;
}

bool VirtualSerialPort::Close()
{
    if (master_ < 0)
        return true;
    // The link goes first, so no application finds the port while it is taken down; with it
    // what an application reported about the line.
    monitor_->Links().Remove(*link_);
    link_.reset();
    unlink(LineState::FileFor(path_).c_str());
    path_.clear();
    monitor_->Remove(*this);
    monitor_->ReleaseName(name_);
    name_.clear();
    CloseTerminal();
    return true;
}

int VirtualSerialPort::Write(const uint8_t* data, int count)
{
    if (remote_)
        return remote_->Write(data, count);
    if (!data || count <= 0 || master_ < 0)
        return 0;
    // Like a serial line nobody listens to: the bytes go nowhere. Whether someone holds the
    // port is what the loop knows: it handles the opens and closes of a turn before the bytes
    // that came in it (the monitor's watch goes first), so an application that opened the port
    // before the bytes came gets them, without a look at the master per write. A close the
    // loop has not yet handled only means the bytes are dropped with the rest when it is.
    if (!held_)
        return count;
    size_t total = static_cast<size_t>(count);
    size_t done = 0;
    FlushOutput();
    if (output_.Empty()) {
        while (done < total) {
            ssize_t n = write(master_, data + done, total - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (!(n < 0 && errno == EINTR))
                break;
        }
    }
    size_t queued = std::min(total - done, OutputLimit - output_.Size());
    output_.Append(data + done, queued);
    if (done + queued < total)
        refused_ = true;
    UpdateWatch();
    return static_cast<int>(done + queued);
}

int VirtualSerialPort::Read(uint8_t* buffer, int max)
{
    if (remote_)
        return remote_->Read(buffer, max);
    if (!buffer || max <= 0 || master_ < 0)
        return 0;
    size_t n = input_.Take(buffer, static_cast<size_t>(max));
    UpdateWatch();  // room again for input the watch may have paused
    return static_cast<int>(n);
}

bool VirtualSerialPort::InUse() const
{
    if (remote_)
        return true;
    if (master_ < 0)
        return false;
    // A holder stays "in use" until the loop has handled its last close (and reset the
    // terminal for the next one), so only a port not known to be held needs a look at the
    // master, for an open whose event the loop has not yet handled.
    if (!held_)
        Held();
    return held_;
}

int VirtualSerialPort::Pending() const
{
    if (remote_)
        return remote_->Pending();
    return static_cast<int>(input_.Size());
}

Clock::time_point VirtualSerialPort::LastInputTime() const
{
    if (remote_)
        return remote_->LastInputTime();
    return master_ >= 0 ? lastInput_ : Clock::time_point();
}

void VirtualSerialPort::WhenInput(std::function<void()> handler)
{
    onInput_ = std::move(handler);
}

void VirtualSerialPort::WhenRoom(std::function<void()> handler)
{
    onRoom_ = std::move(handler);
}

std::string VirtualSerialPort::DevicePath() const
{
    return path_;
}

Reason VirtualSerialPort::OpenFailure() const
{
    return openFailure_;
}

std::optional<LineState> VirtualSerialPort::LineSettings() const
{
    if (remote_)
        return remote_->LineSettings();
    if (!InUse())
        return std::nullopt;
    return LineState::ForLink(path_);
}

void VirtualSerialPort::SetRemoteUser(RemoteUser* user)
{
    remote_ = user;
    if (master_ < 0)
        return;
    chmod(slavePath_.c_str(), user ? 0 : S_IRUSR | S_IWUSR);
    DropLocalInput();
}

RemoteUser* VirtualSerialPort::Remote() const
{
    return remote_;
}

void VirtualSerialPort::RemoteInput()
{
    if (onInput_)
        onInput_();
}

void VirtualSerialPort::RemoteRoom()
{
    if (onRoom_)
        onRoom_();
}

void VirtualSerialPort::DropLocalInput()
{
    input_.Clear();
    UpdateWatch();  // room again for input the watch may have paused
}

std::string VirtualSerialPort::PortDirectory()
{
    return PortLink::Directory();
}

void VirtualSerialPort::Attach()
{
    attached_ = true;
    Reconcile();
}

void VirtualSerialPort::OnSlaveEvent(uint32_t mask)
{
    if (mask & IN_Q_OVERFLOW) {
        // Events were lost, our own opens' among them: look at the port afresh.
        ownOpens_ = 0;
        touched_ = true;
    } else if (mask & IN_OPEN) {
        if (ownOpens_ > 0)
            --ownOpens_;
        else
            touched_ = true;
    }
    const bool hadInput = !input_.Empty();
    Reconcile();
    Notify(!hadInput && !input_.Empty());
}

void VirtualSerialPort::OnMasterEvent(uint32_t events)
{
    if (master_ < 0)
        return;
    const bool hadInput = !input_.Empty();
    if (events & EPOLLIN)
        Drain(false);
    if (events & EPOLLOUT)
        FlushOutput();
    if (events & (EPOLLHUP | EPOLLERR))
        Reconcile();
    else
        UpdateWatch();
    Notify(!hadInput && !input_.Empty());
}

void VirtualSerialPort::Notify(bool inputCame)
{
    // Room while the queue is at most half full, so a held-back sender is not resumed for
    // every few bytes the terminal takes; none is needed while nobody holds the slave.
    const bool room = refused_ && (!held_ || output_.Size() <= OutputLimit / 2);
    if (room)
        refused_ = false;
    if (inputCame && remote_)
        DropLocalInput();
    else if (inputCame && onInput_)
        onInput_();
    if (room && onRoom_)
        onRoom_();
}

bool VirtualSerialPort::HungUp() const
{
    pollfd p{master_, 0, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// True while someone holds the slave right now. A holder counts from here on even before
// the loop has seen its open.
bool VirtualSerialPort::Held() const
{
    if (HungUp())
        return false;
    held_ = true;
    UpdateWatch();
    return true;
}

// Brings the watch and the holder state in line with the master's hang-up state. Safe to run
// any number of times; an application that opened and closed between two events is caught
// by touched_.
void VirtualSerialPort::Reconcile()
{
    if (master_ < 0 || !attached_)
        return;
    if (Held())
        return;
    if (held_ || touched_) {
        Drain(true);  // what the application wrote before it closed is still ours to read
        output_.Clear();
        ResetTerminal();
    }
    held_ = false;
    touched_ = false;
    UpdateWatch();
}

void VirtualSerialPort::Drain(bool untilEmpty)
{
    // FIONREAD on a master is only a lower bound; reading until EAGAIN gives the exact count.
    // While the master is watched, a read that came short has emptied it for now: the watch
    // reports what comes next, so the read that would say EAGAIN is saved.
    const size_t before = input_.Size();
    uint8_t chunk[4096];
    while (input_.Size() < InputLimit) {
        size_t want = std::min(sizeof chunk, InputLimit - input_.Size());
        ssize_t n = read(master_, chunk, want);
        if (n > 0)
            input_.Append(chunk, static_cast<size_t>(n));
        else if (!(n < 0 && errno == EINTR))
            break;  // EAGAIN: nothing more now; EIO: nobody holds the slave and nothing is left
        if (n > 0 && static_cast<size_t>(n) < want && !untilEmpty)
            break;
    }
    // The gap of silence a chunk waits out counts from here: bytes the loop has not seen yet
    // may have come earlier, never later.
    if (input_.Size() != before)
        lastInput_ = monitor_->Loop().Now();
}

void VirtualSerialPort::FlushOutput()
{
    while (!output_.Empty()) {
        ssize_t n = write(master_, output_.Front(), output_.Size());
        if (n > 0)
            output_.Drop(static_cast<size_t>(n));
        else if (!(n < 0 && errno == EINTR))
            break;
    }
}

// The master is watched only while the slave is held, and then for input only while there is
// room for it and for output only while some is queued. An idle held port therefore sleeps,
// and a hung-up master is never polled at all.
void VirtualSerialPort::UpdateWatch() const
{
    if (master_ < 0 || !attached_)
        return;
    if (!held_) {
        watch_->Remove();
        return;
    }
    uint32_t wanted = (input_.Size() < InputLimit ? EPOLLIN : 0u) | (output_.Empty() ? 0u : EPOLLOUT);
    if (watch_->Fd() >= 0 && wanted == watch_->Events())
        return;
    if (watch_->Fd() >= 0)
        watch_->Modify(wanted);
    else
        watch_->Add(master_, wanted);
}

// After the last holder closed: raw mode again for the next application, whatever the last
// one set, and the bytes it left unread are dropped, as a closed serial port drops them. The
// kernel keeps those bytes for the next opener and flushing through the master reaches only
// part of them, so the slave is opened for a moment and read empty (a non-blocking read
// reports EAGAIN only once the kernel's buffers are empty). The inotify open this causes is
// counted off in OnSlaveEvent, so it does not start another reset.
void VirtualSerialPort::ResetTerminal()
{
    tcsetattr(master_, TCSANOW, &raw_);
    int slave = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        return;
    ++ownOpens_;
    uint8_t sink[4096];
    for (;;) {
        ssize_t n = read(slave, sink, sizeof sink);
        if (!(n > 0 || (n < 0 && errno == EINTR)))
            break;
    }
    close(slave);
}
