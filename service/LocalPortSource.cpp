#include "service/LocalPortSource.h"

#include "service/PortMessages.h"

LocalPortSource::LocalPortSource(PortService& service, QObject* parent) : PortSource(parent), service_(service)
{
    connect(&service_, &PortService::PortsChanged, this, &PortSource::PortsChanged);
}

PortSource::Started LocalPortSource::Start()
{
    Started started;
    started.hostNameFailed = service_.StartNetwork() == PortTable::NetworkResult::HostNameFailed;
    service_.StartPorts();
    for (const Reason& notice : service_.StartNotices())
        started.notices.push_back(PortMessages::Text(notice));
    return started;
}

void LocalPortSource::Answer(const Done& done, const PortError& error)
{
    done(error, PortMessages::Text(error));
}

void LocalPortSource::Add(const PortConfig& config, Done done)
{
    Answer(done, service_.Add(config));
}

void LocalPortSource::Edit(int record, const PortConfig& config, Done done)
{
    Answer(done, service_.Edit(record, config));
}

void LocalPortSource::Remove(int record, bool force, Done done)
{
    Answer(done, service_.Remove(record, force));
}

void LocalPortSource::SaveSettings(const GlobalSettings& entered, Done done)
{
    Answer(done, service_.SaveSettings(entered));
}

std::vector<PortStatus> LocalPortSource::PortsEndingInUse() const
{
    std::vector<PortStatus> held;
    if (!service_.AnyPortInUse())
        return held;
    service_.CatchUp();  // the statuses say which, once published
    for (PortStatus& port : service_.Snapshot()) {
        if (port.inUse)
            held.push_back(std::move(port));
    }
    return held;
}

std::string LocalPortSource::RestartAdvice() const
{
    return "系统配置已被改变，必须退出本程序重新运行。\r\n请确认先关闭正在使用虚拟串口的程序。";
}
