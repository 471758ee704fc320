#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <deque>

#include "link/TraceRecord.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSocketNotifier;

// The window's live view of one port's trace ("监视 COM7"): one line per record as
// `mv5840vspctl monitor` prints it by default, read from the trace's stream as it arrives and
// never waited for. Not modal. At most MaxLines lines are kept; older ones scroll away.
// While paused, records are still read and counted; the latest of them (a view's worth) wait
// and show when the view goes on, after a line that says how many older ones were left out.
// When the stream ends, fails or is not a trace, a last line says so and reading stops.
// Closing the window closes the stream, which ends the watch at the other end.
class PortMonitorDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxLines = 2000;

    // Takes fd, the reading end of the port's trace; it is closed with the window.
    PortMonitorDialog(int fd, const QString& portName, QWidget* parent = nullptr);
    ~PortMonitorDialog() override;

    // Until the stream has ended or failed.
    bool Reading() const { return fd >= 0; }
    bool Paused() const { return paused; }
    // Records read from the stream so far, shown or not.
    uint64_t Received() const { return received; }
    // The pause button: "暂停" holds the view, "继续" shows what came meanwhile.
    void SetPaused(bool pause);

private:
    void ReadTrace();
    // One line for the view, or for later while paused.
    void Add(const QString& line);
    void ShowWaiting();
    // The last line; the stream is closed.
    void Stop(const QString& why);
    // The stream failed with the system's error.
    void StopUnread(int error);
    // The count of records, paused or ended, and whether pausing still means anything.
    void ShowState();

    QString portName;
    int fd;
    QSocketNotifier* readable = nullptr;
    TraceDecoder decoder;
    QPlainTextEdit* view = nullptr;
    QPushButton* pauseButton = nullptr;
    QLabel* status = nullptr;
    bool paused = false;
    uint64_t received = 0;
    std::deque<QString> waiting;  // lines not shown yet, fewer than MaxLines
    uint64_t leftOut = 0;         // lines that no longer fitted in waiting
};
