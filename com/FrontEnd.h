#pragma once

#include <QDBusConnection>
#include <QObject>

#include "com/PortSelectionTarget.h"

// A window that shows the ports of another instance (a front end), on the session bus: it owns
// the name AutomationObject::FrontEndService and answers MV5840VSP.IApplication's Show there,
// which raises it; so a second start, or the service's own Show, brings this window forward
// rather than opening another. One per user's bus.
class FrontEnd : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "MV5840VSP.IApplication")
public:
    FrontEnd(const QDBusConnection& connection, PortSelectionTarget& window, QObject* parent = nullptr);
    ~FrontEnd() override;

    // Takes the name; false when another front end has it.
    bool Publish();
    // Whether a front end runs on the bus; when one does, it is asked to show its window.
    static bool AskToShow(QDBusConnection connection);

public slots:
    Q_SCRIPTABLE void Show();

private:
    QDBusConnection connection_;
    PortSelectionTarget& window_;
    bool published_ = false;
};
