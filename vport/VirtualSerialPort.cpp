#include "vport/VirtualSerialPort.h"

#include <cerrno>
#include <mutex>
#include <set>
#include <unistd.h>

#include "net/Event.h"
#include "vport/DescriptorBudget.h"
#include "vport/PortLink.h"
#include "vport/PtyChannel.h"
#include "vport/PtyMonitor.h"

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
    std::mutex lifecycle;  // Open and Close, one at a time
    // Written under lifecycle; channel and path also read by the data operations.
    mutable std::mutex mutex;
    std::shared_ptr<Event> available;
    std::shared_ptr<PtyChannel> channel;
    std::string path;
    std::string name;
    std::unique_ptr<PortLink> link;
    std::shared_ptr<PtyMonitor> monitor;
    Reason openFailure;

    std::shared_ptr<PtyChannel> Channel() const
    {
        std::lock_guard lock(mutex);
        return channel;
    }
};

VirtualSerialPort::VirtualSerialPort() : impl_(new Impl) {}

VirtualSerialPort::~VirtualSerialPort()
{
    Close();
    delete impl_;
}

bool VirtualSerialPort::Open(const std::string& name)
{
    std::lock_guard lifecycle(impl_->lifecycle);
    if (impl_->channel)
        return name == impl_->name;
    Reason failure = Make(name);
    std::lock_guard lock(impl_->mutex);
    impl_->openFailure = std::move(failure);
    return !impl_->openFailure;
}

// Open's work under the lifecycle lock: everything the port needs, made now, or nothing and why.
Reason VirtualSerialPort::Make(const std::string& name)
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
    // Made with the first open and kept from then on, so InputFd stays valid across Close and
    // another Open; a port never opened holds no descriptor.
    if (!impl_->available) {
        auto available = std::make_shared<Event>(true);
        if (!available->Valid())
            return fail(DescriptorBudget::Failure(Kind::NoPseudoTerminal, name, available->Error()));
        std::lock_guard lock(impl_->mutex);
        impl_->available = std::move(available);
    }

    int error = 0;
    auto channel = PtyChannel::Create(impl_->available, &error);
    if (!channel)
        return fail(DescriptorBudget::Failure(Kind::NoPseudoTerminal, name, error));
    auto monitor = PtyMonitor::Acquire();
    // Watched before the link appears, so the first application's open is never missed.
    if (!monitor || !monitor->Add(channel)) {
        const int err = errno;
        channel->Close();
        return fail(DescriptorBudget::Failure(Kind::NotWatched, name, err));
    }
    Reason refused;
    auto link = PortLink::Create(name, channel->LinkTarget(), &refused);
    if (!link) {
        monitor->Remove(channel);
        channel->Close();
        return fail(refused);
    }

    // A report left by an application of an earlier run (killed with the program) is not
    // about this new terminal.
    unlink(LineState::FileFor(link->Path()).c_str());

    std::lock_guard lock(impl_->mutex);
    impl_->channel = std::move(channel);
    impl_->path = link->Path();
    impl_->name = name;
    impl_->link = std::move(link);
    impl_->monitor = std::move(monitor);
    return {};
}

bool VirtualSerialPort::Close()
{
    std::lock_guard lifecycle(impl_->lifecycle);
    if (!impl_->channel)
        return true;
    // The link goes first, so no application finds the port while it is taken down; with it
    // what an application reported about the line.
    std::string path = impl_->link->Path();
    impl_->link.reset();
    unlink(LineState::FileFor(path).c_str());
    impl_->monitor->Remove(impl_->channel);
    std::shared_ptr<PtyChannel> channel;
    {
        std::lock_guard lock(impl_->mutex);
        channel = std::move(impl_->channel);
        impl_->path.clear();
    }
    channel->Close();
    impl_->monitor.reset();  // the last port to close stops the service thread
    ServedNames::Release(impl_->name);
    impl_->name.clear();
    return true;
}

int VirtualSerialPort::Write(const uint8_t* data, int count)
{
    auto channel = impl_->Channel();
    return channel ? channel->Write(data, count) : 0;
}

int VirtualSerialPort::Read(uint8_t* buffer, int max)
{
    auto channel = impl_->Channel();
    return channel ? channel->Read(buffer, max) : 0;
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
    auto channel = impl_->Channel();
    return channel && channel->InUse();
}

int VirtualSerialPort::Pending() const
{
    auto channel = impl_->Channel();
    return channel ? channel->Pending() : 0;
}

bool VirtualSerialPort::Initialize()
{
    return true;
}

std::chrono::steady_clock::time_point VirtualSerialPort::LastInputTime() const
{
    auto channel = impl_->Channel();
    return channel ? channel->LastInputTime() : std::chrono::steady_clock::time_point();
}

int VirtualSerialPort::InputFd() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->available ? impl_->available->Fd() : -1;
}

std::string VirtualSerialPort::DevicePath() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->path;
}

std::optional<LineState> VirtualSerialPort::LineSettings() const
{
    if (!InUse())
        return std::nullopt;
    return LineState::ForLink(DevicePath());
}

Reason VirtualSerialPort::OpenFailure() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->openFailure;
}

std::string VirtualSerialPort::PortDirectory()
{
    return PortLink::Directory();
}
