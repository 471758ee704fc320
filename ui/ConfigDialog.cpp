#include "ui/ConfigDialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "ui/UiFont.h"

ConfigDialog::ConfigDialog(QWidget* parent) : QDialog(parent)
{
    setFont(DialogFont());
    setWindowTitle(QStringLiteral("配置"));

    // Created in tab order.
    auto* modeBox = new QGroupBox(QStringLiteral("串口虚拟方式"), this);
    perPortButton = new QRadioButton(QStringLiteral("为每个DTU虚拟一个串口"), modeBox);
    perPortButton->setObjectName("1014");
    sharedButton = new QRadioButton(QStringLiteral("所有DTU共用一个虚拟串口"), modeBox);
    sharedButton->setObjectName("1015");
    sharedPortEdit = new QLineEdit(modeBox);
    sharedPortEdit->setObjectName("1009");
    networkPortEdit = new QLineEdit(this);
    networkPortEdit->setObjectName("1007");
    passwordEdit = new QLineEdit(this);
    passwordEdit->setObjectName("1008");
    okButton = new QPushButton(QStringLiteral("确定"), this);
    okButton->setObjectName("1");
    okButton->setDefault(true);
    cancelButton = new QPushButton(QStringLiteral("取消"), this);
    cancelButton->setObjectName("2");

    auto* sharedRow = new QHBoxLayout;
    sharedRow->addSpacing(20);
    sharedRow->addWidget(new QLabel(QStringLiteral("虚拟串口号"), modeBox));
    sharedRow->addWidget(sharedPortEdit);
    sharedRow->addStretch();
    auto* modeLayout = new QVBoxLayout(modeBox);
    modeLayout->addWidget(perPortButton);
    modeLayout->addWidget(sharedButton);
    modeLayout->addLayout(sharedRow);

    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel(QStringLiteral("网络端口号"), this), 0, 0);
    fields->addWidget(networkPortEdit, 0, 1);
    fields->addWidget(new QLabel(QStringLiteral("登陆密码"), this), 1, 0);
    fields->addWidget(passwordEdit, 1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(modeBox);
    layout->addLayout(fields);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(perPortButton, sharedButton);
    setTabOrder(sharedButton, sharedPortEdit);
    setTabOrder(sharedPortEdit, networkPortEdit);
    setTabOrder(networkPortEdit, passwordEdit);
    setTabOrder(passwordEdit, okButton);
    setTabOrder(okButton, cancelButton);

    connect(perPortButton, &QRadioButton::clicked, this, &ConfigDialog::OnModeClicked);
    connect(sharedButton, &QRadioButton::clicked, this, &ConfigDialog::OnModeClicked);
    connect(okButton, &QPushButton::clicked, this, &ConfigDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &ConfigDialog::reject);
}

bool ConfigDialog::ExchangeData(DataExchange::Direction direction)
{
    DataExchange dx(this, direction);
    dx.Text(passwordEdit, password);
    dx.Integer(networkPortEdit, networkPort, 1, 32767);
    dx.Radio({perPortButton, sharedButton}, mode);
    dx.Integer(sharedPortEdit, sharedPortNumber, 1, 256);
    return dx.Succeeded();
}

void ConfigDialog::showEvent(QShowEvent* event)
{
    if (!event->spontaneous()) {
        ExchangeData(DataExchange::ToWidgets);
        sharedPortEdit->setEnabled(mode == 1);
        (mode == 1 ? sharedButton : perPortButton)->setFocus(Qt::OtherFocusReason);
    }
    QDialog::showEvent(event);
}

void ConfigDialog::OnModeClicked()
{
    // When the network port fails, mode keeps its old value and so does 1009's state.
    ExchangeData(DataExchange::FromWidgets);
    sharedPortEdit->setEnabled(mode == 1);
}

void ConfigDialog::accept()
{
    if (ExchangeData(DataExchange::FromWidgets))
        QDialog::accept();
}
