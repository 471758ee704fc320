#pragma once

#include <atomic>
#include <functional>

// The application-wide lock count. Every automation object and every LockServer(true) holds
// one lock. In a run that the user did not start, the program ends when the last lock goes.
class AppLock {
public:
    // Runs once, on the main thread, when the count falls to 0 in a run the user did not
    // start. Without a handler the application's event loop is told to quit.
    void SetEndOfRun(std::function<void()> handler);

    void Lock();
    void Unlock();
    // Applies the rule without a lock going: ends a run the user did not start when nothing
    // holds a lock, or else leaves it to the last unlock.
    void EndWhenIdle();

    int Count() const { return appLockCount_.load(); }
    bool UserControl() const { return userControl_.load(); }
    void SetUserControl(bool value) { userControl_.store(value); }

private:
    void EndRun();

    std::atomic<int> appLockCount_{0};
    std::atomic<bool> userControl_{true};
    std::function<void()> endOfRun_;
};
