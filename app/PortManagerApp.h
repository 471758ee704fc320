#pragma once

#include <QStringList>

// The life of the process: the registration run, the automation server run without a window
// and the interactive run with the main window, and the order in which they end.
class PortManagerApp {
public:
    // arguments: the command line as the program got it, program path first.
    // Returns the process exit status.
    int Run(const QStringList& arguments);
};
