#pragma once

#include <QDialog>
#include <QIcon>

// "关于 MV5840VSP": the application icon, the version line and "确定".
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    // A null icon means the parent's (or the application's) window icon.
    explicit AboutDialog(QWidget* parent = nullptr, const QIcon& icon = QIcon());
};
