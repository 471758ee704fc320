#pragma once

#include <string>

// Holds one thread of this process, found by its name, as a debugger that stops it would: a
// signal makes the thread wait in its handler until the hold ends. The other threads run on.
// One hold at a time.
class ThreadHold {
public:
    // False (Held) when no thread has the name or the signal could not be sent.
    explicit ThreadHold(const std::string& threadName);
    // Lets the thread go on.
    ~ThreadHold();
    ThreadHold(const ThreadHold&) = delete;
    ThreadHold& operator=(const ThreadHold&) = delete;

    // The thread waits in the handler now.
    bool Held() const { return held_; }

private:
    bool held_ = false;
};
