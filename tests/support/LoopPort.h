#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/EventLoop.h"
#include "vport/PtyMonitor.h"
#include "vport/VirtualSerialPort.h"

// A loop thread with the monitor of its ports' slave nodes, as the data path runs them.
class PortLoop {
public:
    PortLoop() : monitor_(loop_) { loop_.Start("vport-test"); }
    ~PortLoop() { loop_.Stop(); }
    PortLoop(const PortLoop&) = delete;
    PortLoop& operator=(const PortLoop&) = delete;

    EventLoop& Loop() { return loop_; }
    PtyMonitor& Monitor() { return monitor_; }
    template <class F>
    auto Call(F&& fn)
    {
        return loop_.Call(std::forward<F>(fn));
    }

private:
    EventLoop loop_;
    PtyMonitor monitor_;
};

// A virtual port on a loop thread (its own, or one shared with other ports): every call goes
// through the loop and waits for its result, as the port service's calls do.
class LoopPort {
public:
    explicit LoopPort(std::shared_ptr<PortLoop> loop = std::make_shared<PortLoop>()) : loop_(std::move(loop)) {}
    ~LoopPort()
    {
        loop_->Call([this] { port_.reset(); });
    }
    LoopPort(const LoopPort&) = delete;
    LoopPort& operator=(const LoopPort&) = delete;

    bool Open(const std::string& name)
    {
        return loop_->Call([&] { return port_->Open(name, loop_->Monitor()); });
    }
    bool Close()
    {
        return loop_->Call([&] { return port_->Close(); });
    }
    int Write(const uint8_t* data, int count)
    {
        return loop_->Call([&] { return port_->Write(data, count); });
    }
    int Read(uint8_t* buffer, int max)
    {
        return loop_->Call([&] { return port_->Read(buffer, max); });
    }
    bool InUse()
    {
        return loop_->Call([&] { return port_->InUse(); });
    }
    int Pending()
    {
        return loop_->Call([&] { return port_->Pending(); });
    }
    std::string DevicePath()
    {
        return loop_->Call([&] { return port_->DevicePath(); });
    }
    Reason OpenFailure()
    {
        return loop_->Call([&] { return port_->OpenFailure(); });
    }
    std::optional<LineState> LineSettings()
    {
        return loop_->Call([&] { return port_->LineSettings(); });
    }
    // The handlers run on the loop thread.
    void WhenInput(std::function<void()> handler)
    {
        loop_->Call([&] { port_->WhenInput(std::move(handler)); });
    }
    void WhenRoom(std::function<void()> handler)
    {
        loop_->Call([&] { port_->WhenRoom(std::move(handler)); });
    }
    // Runs fn with the port on the loop thread.
    template <class F>
    auto OnLoop(F&& fn)
    {
        return loop_->Call([&] { return fn(*port_); });
    }
    PortLoop& Loop() { return *loop_; }

private:
    std::shared_ptr<PortLoop> loop_;
    std::unique_ptr<VirtualSerialPort> port_ = std::make_unique<VirtualSerialPort>();
};
