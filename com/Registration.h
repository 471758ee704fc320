#pragma once

#include <QString>

// Registers the program with the current user's desktop: the D-Bus activation file that
// starts it for a client with "-Embedding", the description of its interfaces, and the
// entry in the application menu. Each file is replaced whole on every registration.
class Registration {
public:
    static constexpr char ServiceName[] = "MV5840VSP.IMV5840VSP";
    static constexpr char ObjectPath[] = "/IMV5840VSP";
    // The port manager's interface, served on the same object.
    static constexpr char ManagerInterfaceName[] = "MV5840VSP.IPortManager";

    // dataHome: the base folder ($XDG_DATA_HOME); executablePath: absolute path of the program.
    Registration(QString dataHome, QString executablePath);

    // $XDG_DATA_HOME when set to an absolute path, otherwise ~/.local/share.
    static QString DefaultDataHome();

    // Both return false when a file could not be written or removed.
    bool RegisterSelf() const;
    bool UnregisterSelf() const;

    QString ServiceFile() const;
    QString InterfaceFile() const;
    QString ManagerInterfaceFile() const;
    QString DesktopFile() const;

    // Empty when the executable path cannot be written into the file (control characters).
    QString ServiceFileText() const;
    QString DesktopFileText() const;
    static QByteArray InterfaceDescription();
    static QByteArray ManagerInterfaceDescription();

private:
    static QByteArray Description(const QString& name);

    QString dataHome_;
    QString executablePath_;
};
