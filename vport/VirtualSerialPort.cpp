#include "vport/VirtualSerialPort.h"

#include <cerrno>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "vport/DescriptorBudget.h"
#include "vport/PortLink.h"
#include "vport/PtyChannel.h"
#include "vport/PtyMonitor.h"
#include "vport/RemoteUser.h"

namespace {

// Names served by the live ports of this process; a name is served at most once.
class ServedNames {
public:
    static bool Claim(const std::string& name)
    {
        std::lock_guard lock(Mutex());
        return Names().insert(name).second;
    }
    static void Release(const std::string& name)
    {
        std::lock_guard lock(Mutex());
        Names().erase(name);
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::set<std::string>& Names()
    {
        static std::set<std::string> names;
        return names;
    }
};

}  // namespace

struct VirtualSerialPort::Impl {
    std::shared_ptr<PtyChannel> channel;
    std::string path;
    std::string name;
    std::unique_ptr<PortLink> link;
    PtyMonitor* monitor = nullptr;
    std::function<void()> onInput;
    std::function<void()> onRoom;
    Reason openFailure;
    RemoteUser* remote = nullptr;

    // What an application wrote while a remote user has the port goes nowhere.
    void DropLocalInput()
    {
        uint8_t sink[4096];
        while (channel && channel->Read(sink, sizeof sink) > 0) {
        }
    }
};

VirtualSerialPort::VirtualSerialPort() : impl_(new Impl) {}

VirtualSerialPort::~VirtualSerialPort()
{
    Close();
    delete impl_;
}

bool VirtualSerialPort::Open(const std::string& name, PtyMonitor& monitor)
{
    if (impl_->channel)
        return name == impl_->name;
    impl_->openFailure = Make(name, monitor);
    return !impl_->openFailure;
}

// Open's work: everything the port needs, made now, or nothing and why.
Reason VirtualSerialPort::Make(const std::string& name, PtyMonitor& monitor)
{
    using Kind = Reason::Kind;
    if (name.empty() || !ServedNames::Claim(name))
        return {Kind::NameServedTwice, name};
    auto fail = [&name](Reason failure) {
        ServedNames::Release(name);
        return failure;
    };
    if (!DescriptorBudget::Room(DescriptorBudget::PerPort))
        return fail(DescriptorBudget::Shortage(name));

    int error = 0;
    auto channel = PtyChannel::Create(monitor.Loop(), &error);
    if (!channel)
        return fail(DescriptorBudget::Failure(Kind::NoPseudoTerminal, name, error));
    channel->WhenInput([this] {
        if (impl_->remote)
            impl_->DropLocalInput();
        else if (impl_->onInput)
            impl_->onInput();
    });
    channel->WhenRoom([this] {
        if (impl_->onRoom)
            impl_->onRoom();
    });
    // Watched before the link appears, so the first application's open is never missed.
    if (!monitor.Add(channel)) {
        const int err = errno;
        channel->Close();
        return fail(DescriptorBudget::Failure(Kind::NotWatched, name, err));
    }
    Reason refused;
    auto link = PortLink::Create(name, channel->LinkTarget(), &refused);
    if (!link) {
        monitor.Remove(channel);
        channel->Close();
        return fail(refused);
    }

    // A report left by an application of an earlier run (killed with the program) is not
    // about this new terminal.
    unlink(LineState::FileFor(link->Path()).c_str());

    monitor.Links().Add(*link);
    impl_->channel = std::move(channel);
    impl_->path = link->Path();
    impl_->name = name;
    impl_->link = std::move(link);
    impl_->monitor = &monitor;
    return {};
}

bool VirtualSerialPort::Close()
{
    if (!impl_->channel)
        return true;
    // The link goes first, so no application finds the port while it is taken down; with it
    // what an application reported about the line.
    std::string path = impl_->link->Path();
    impl_->monitor->Links().Remove(*impl_->link);
    impl_->link.reset();
    unlink(LineState::FileFor(path).c_str());
    impl_->monitor->Remove(impl_->channel);
    impl_->monitor = nullptr;
    std::shared_ptr<PtyChannel> channel = std::move(impl_->channel);
    impl_->path.clear();
    channel->Close();
    ServedNames::Release(impl_->name);
    impl_->name.clear();
    return true;
}

int VirtualSerialPort::Write(const uint8_t* data, int count)
{
    if (impl_->remote)
        return impl_->remote->Write(data, count);
    return impl_->channel ? impl_->channel->Write(data, count) : 0;
}

int VirtualSerialPort::Read(uint8_t* buffer, int max)
{
    if (impl_->remote)
        return impl_->remote->Read(buffer, max);
    return impl_->channel ? impl_->channel->Read(buffer, max) : 0;
}

void VirtualSerialPort::WhenInput(std::function<void()> handler)
{
    impl_->onInput = std::move(handler);
}

void VirtualSerialPort::WhenRoom(std::function<void()> handler)
{
    impl_->onRoom = std::move(handler);
}

bool VirtualSerialPort::EnableReceive(bool)
{
    return true;
}

bool VirtualSerialPort::EnableTransmit(bool)
{
    return true;
}

bool VirtualSerialPort::InUse() const
{
    if (impl_->remote)
        return true;
    return impl_->channel && impl_->channel->InUse();
}

int VirtualSerialPort::Pending() const
{
    if (impl_->remote)
        return impl_->remote->Pending();
    return impl_->channel ? impl_->channel->Pending() : 0;
}

bool VirtualSerialPort::Initialize()
{
    return true;
}

Clock::time_point VirtualSerialPort::LastInputTime() const
{
    if (impl_->remote)
        return impl_->remote->LastInputTime();
    return impl_->channel ? impl_->channel->LastInputTime() : Clock::time_point();
}

std::string VirtualSerialPort::DevicePath() const
{
    return impl_->path;
}

std::optional<LineState> VirtualSerialPort::LineSettings() const
{
    if (impl_->remote)
        return impl_->remote->LineSettings();
    if (!InUse())
        return std::nullopt;
    return LineState::ForLink(DevicePath());
}

void VirtualSerialPort::SetRemoteUser(RemoteUser* user)
{
    impl_->remote = user;
    if (!impl_->channel)
        return;
    chmod(impl_->channel->SlavePath().c_str(), user ? 0 : S_IRUSR | S_IWUSR);
    impl_->DropLocalInput();
}

RemoteUser* VirtualSerialPort::Remote() const
{
    return impl_->remote;
}

void VirtualSerialPort::RemoteInput()
{
    if (impl_->onInput)
        impl_->onInput();
}

void VirtualSerialPort::RemoteRoom()
{
    if (impl_->onRoom)
        impl_->onRoom();
}

Reason VirtualSerialPort::OpenFailure() const
{
    return impl_->openFailure;
}

std::string VirtualSerialPort::PortDirectory()
{
    return PortLink::Directory();
}
