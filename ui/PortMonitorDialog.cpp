#include "ui/PortMonitorDialog.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "ui/MonitorLine.h"
#include "net/Log.h"
#include "ui/UiFont.h"

PortMonitorDialog::PortMonitorDialog(int fd, const QString& portName, QWidget* parent)
    : QDialog(parent), portName_(portName), fd_(fd)
{
    setFont(DialogFont());
    SetPortName(portName);
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    setSizeGripEnabled(true);

    view_ = new QPlainTextEdit(this);
    view_->setObjectName(QStringLiteral("trace"));
    view_->setReadOnly(true);
    view_->setUndoRedoEnabled(false);
    view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    view_->setMaximumBlockCount(MaxLines);
    view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view_->setMinimumSize(720, 360);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("count"));
    pauseButton_ = new QPushButton(QStringLiteral("暂停"), this);
    pauseButton_->setObjectName(QStringLiteral("pause"));
    pauseButton_->setAutoDefault(false);
    connect(pauseButton_, &QPushButton::clicked, this, [this] { SetPaused(!paused_); });
    auto* closeButton = new QPushButton(QStringLiteral("关闭"), this);
    closeButton->setObjectName(QStringLiteral("close"));
    closeButton->setAutoDefault(false);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::close);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(status_, 1);
    buttons->addWidget(pauseButton_);
    buttons->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_);
    layout->addLayout(buttons);
    showTimer_ = new QTimer(this);
    showTimer_->setSingleShot(true);
    connect(showTimer_, &QTimer::timeout, this, &PortMonitorDialog::ShowWaiting);
    ShowState();

    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        StopUnread(errno);
        return;
    }
    readable_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, &PortMonitorDialog::ReadTrace);
}

PortMonitorDialog::~PortMonitorDialog()
{
    if (fd_ >= 0) {
        readable_->setEnabled(false);
        ::close(fd_);
    }
}

void PortMonitorDialog::ReadTrace()
{
    // One piece at a time, so that a fast trace leaves the window room to answer; the
    // notifier comes back while more waits.
    uint8_t piece[65536];
    ssize_t got;
    do
        got = read(fd_, piece, sizeof piece);
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got < 0)
        return StopUnread(errno);
    if (got == 0)
        return Stop(decoder_.Buffered() > 0 ? QStringLiteral("跟踪已结束，最后一条记录不完整。")
                                            : QStringLiteral("跟踪已结束。"));
    decoder_.Feed(piece, static_cast<size_t>(got));
    TraceRecord record;
    TraceDecoder::Status next;
    while ((next = decoder_.Next(record)) == TraceDecoder::Status::Record) {
        ++received_;
        Add(std::move(record));
    }
    if (next == TraceDecoder::Status::Malformed) {
        Log::Warning(portName_.toStdString() + ": monitor view stopped: the trace is malformed: " + decoder_.Error());
        return Stop(QStringLiteral("跟踪数据无法识别，监视已停止。"));
    }
    ShowSoon();
    ShowState();
}

void PortMonitorDialog::Add(TraceRecord&& record)
{
    // One line short of what the view keeps, for the line that says how many were left out.
    if (waiting_.size() == static_cast<size_t>(MaxLines - 1)) {
        waiting_.pop_front();
        ++leftOut_;
    }
    waiting_.push_back(std::move(record));
}

void PortMonitorDialog::ShowSoon()
{
    if (paused_ || showTimer_->isActive())
        return;
    const qint64 since = lastShown_.isValid() ? lastShown_.elapsed() : ShowIntervalMs;
    if (since >= ShowIntervalMs)
        ShowWaiting();
    else
        showTimer_->start(static_cast<int>(ShowIntervalMs - since));
}

void PortMonitorDialog::ShowWaiting()
{
    showTimer_->stop();
    if (waiting_.empty() && ending_.isEmpty())
        return;
    QStringList lines;
    if (leftOut_ > 0)
        lines << QStringLiteral("（另有 %1 条较早的记录未显示）").arg(leftOut_);
    for (const TraceRecord& record : waiting_)
        lines << MonitorLine(record);
    if (!ending_.isEmpty())
        lines << ending_;
    waiting_.clear();
    leftOut_ = 0;
    ending_.clear();
    // One append for the lot: the view lays out what it shows, not every line on its way.
    view_->appendPlainText(lines.join(QLatin1Char('\n')));
    lastShown_.start();
}

void PortMonitorDialog::Stop(const QString& why)
{
    if (readable_)
        readable_->setEnabled(false);
    ::close(fd_);
    fd_ = -1;
    ending_ = why;
    if (!paused_)
        ShowWaiting();
    ShowState();
}

void PortMonitorDialog::SetPortName(const QString& name)
{
    portName_ = name;
    setWindowTitle(QStringLiteral("监视 ") + name);
}

void PortMonitorDialog::Finish(const QString& why)
{
    if (Reading())
        Stop(why);
}

void PortMonitorDialog::StopUnread(int error)
{
    const std::string reason = Log::SystemReason(error);
    Log::Warning(portName_.toStdString() + ": monitor view stopped: cannot read the trace: " + reason);
    Stop(QStringLiteral("无法读取跟踪，监视已停止：") + QString::fromStdString(reason));
}

void PortMonitorDialog::SetPaused(bool pause)
{
    paused_ = pause;
    pauseButton_->setText(paused_ ? QStringLiteral("继续") : QStringLiteral("暂停"));
    if (paused_)
        showTimer_->stop();
    else
        ShowWaiting();
    ShowState();
}

void PortMonitorDialog::ShowState()
{
    QString text = QStringLiteral("已收到 %1 条记录").arg(received_);
    if (paused_)
        text += QStringLiteral("，已暂停");
    if (fd_ < 0)
        text += QStringLiteral("，跟踪已结束");
    status_->setText(text);
    // After the end only what waits is left to show.
    pauseButton_->setEnabled(fd_ >= 0 || paused_);
}
