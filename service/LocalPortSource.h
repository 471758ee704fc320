#pragma once

#include "service/PortService.h"
#include "service/PortSource.h"

// The ports this run serves itself, for the window: every call goes straight to the port
// service and answers at once. The window's end is the ports' end.
class LocalPortSource : public PortSource {
    Q_OBJECT
public:
    explicit LocalPortSource(PortService& service, QObject* parent = nullptr);

    void Attach(PortView* view) override { service_.AttachView(view); }
    Started Start() override;
    const GlobalSettings& Settings() const override { return service_.Settings(); }
    std::optional<PortStatus> StatusOf(int record) const override { return service_.StatusOf(record); }
    std::optional<LineState> LineSettings(int record) const override { return service_.LineSettings(record); }

    void Add(const PortConfig& config, Done done) override;
    void Edit(int record, const PortConfig& config, Done done) override;
    void Remove(int record, bool force, Done done) override;
    void SaveSettings(const GlobalSettings& entered, Done done) override;
    void OpenTrace(int record, TraceDone done) override { done(service_.OpenTrace({record})); }

    std::vector<PortStatus> PortsEndingInUse() const override;
    std::string RestartAdvice() const override;
    bool EndsForNewSettings() const override { return true; }
    bool Current() const override { return true; }
    std::string Absence() const override { return {}; }

    bool SelectSharedTarget(const std::string& code) override { return service_.SelectSharedTarget(code); }
    std::string GetSharedTargetCode() const override { return service_.GetSharedTargetCode(); }

private:
    static void Answer(const Done& done, const PortError& error);

    PortService& service_;
};
