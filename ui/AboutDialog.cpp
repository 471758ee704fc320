#include "ui/AboutDialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/UiFont.h"

AboutDialog::AboutDialog(QWidget* parent, const QIcon& icon) : QDialog(parent)
{
    setFont(DialogFont());
    setWindowTitle(QStringLiteral("关于 MV5840VSP"));

    const QIcon shown = !icon.isNull() ? icon : parent ? parent->windowIcon() : QApplication::windowIcon();
    auto* iconLabel = new QLabel(this);
    iconLabel->setObjectName("icon");
    iconLabel->setPixmap(shown.pixmap(32, 32));
    auto* version = new QLabel(QStringLiteral("MV5840VSP 1.0 版"), this);
    auto* name = new QLabel(QStringLiteral("MV5840 虚拟串口管理"), this);
    auto* okButton = new QPushButton(QStringLiteral("确定"), this);
    okButton->setObjectName("1");
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* texts = new QVBoxLayout;
    texts->addWidget(version);
    texts->addWidget(name);
    auto* top = new QHBoxLayout;
    top->addWidget(iconLabel, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(texts);
    top->addSpacing(24);
    top->addWidget(okButton, 0, Qt::AlignTop);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
