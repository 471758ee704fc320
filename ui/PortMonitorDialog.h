#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <deque>

#include "link/TraceRecord.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSocketNotifier;
class QTimer;

// The window's live view of one port's trace ("监视 COM7"): one line per record in the
// window's words and local time (MonitorLine), read from the trace's stream as it arrives and
// never waited for. Not modal. At most MaxLines lines are kept; older ones scroll away.
// The view takes new lines at most every ShowIntervalMs, so a fast trace costs the window
// the lines it shows rather than one layout per record; a record is made a line only when
// it is shown.
// While paused, records are still read and counted; the latest of them (a view's worth) wait
// and show when the view goes on, after a line that says how many older ones were left out.
// When the stream ends, fails or is not a trace, a last line says so and reading stops.
// Closing the window closes the stream, which ends the watch at the other end.
class PortMonitorDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxLines = 2000;
    static constexpr int ShowIntervalMs = 100;

    // Takes fd, the reading end of the port's trace; it is closed with the window.
    PortMonitorDialog(int fd, const QString& portName, QWidget* parent = nullptr);
    ~PortMonitorDialog() override;

    // Until the stream has ended or failed.
    bool Reading() const { return fd_ >= 0; }
    bool Paused() const { return paused_; }
    // Records read from the stream so far, shown or not.
    uint64_t Received() const { return received_; }
    // The pause button: "暂停" holds the view, "继续" shows what came meanwhile.
    void SetPaused(bool pause);
    // The port's name changed (an edit of its number): the title follows.
    void SetPortName(const QString& name);
    // Ends the watch from this side (the port is gone): why is the last line.
    void Finish(const QString& why);

private:
    void ReadTrace();
    // A record for the view, now or later.
    void Add(TraceRecord&& record);
    // What waits, at once or once ShowIntervalMs have passed since the view last took lines.
    void ShowSoon();
    void ShowWaiting();
    // The last line; the stream is closed.
    void Stop(const QString& why);
    // The stream failed with the system's error.
    void StopUnread(int error);
    // The count of records, paused or ended, and whether pausing still means anything.
    void ShowState();

    QString portName_;
    int fd_;
    QSocketNotifier* readable_ = nullptr;
    TraceDecoder decoder_;
    QPlainTextEdit* view_ = nullptr;
    QPushButton* pauseButton_ = nullptr;
    QLabel* status_ = nullptr;
    QTimer* showTimer_ = nullptr;
    QElapsedTimer lastShown_;
    bool paused_ = false;
    uint64_t received_ = 0;
    std::deque<TraceRecord> waiting_;  // not shown yet, fewer than MaxLines
    uint64_t leftOut_ = 0;             // records that no longer fitted in waiting_
    QString ending_;                   // the last line, until shown
};
