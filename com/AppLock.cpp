#include "com/AppLock.h"

#include <QCoreApplication>
#include <QMetaObject>

void AppLock::SetEndOfRun(std::function<void()> handler)
{
    endOfRun_ = std::move(handler);
}

void AppLock::Lock()
{
    ++appLockCount_;
}

void AppLock::Unlock()
{
    if (--appLockCount_ != 0)
        return;
    // The rule fires once: afterwards the run counts as one the user controls.
    if (userControl_.exchange(true))
        return;
    EndRun();
}

void AppLock::EndWhenIdle()
{
    if (appLockCount_.load() == 0 && !userControl_.exchange(true))
        EndRun();
}

void AppLock::EndRun()
{
    if (endOfRun_) {
        endOfRun_();
        return;
    }
    // Queued, so that the reply to the call that released the last lock still goes out.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}
