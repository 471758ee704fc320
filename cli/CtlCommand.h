#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "cli/TraceMonitor.h"

// What one run of mv5840vspctl is asked to do, read from its arguments.
enum class CtlVerb { Help, Version, List, Show, Add, Edit, Remove, Select, Selected, Watch, Monitor, Stats };

struct CtlCommand {
    CtlVerb verb = CtlVerb::Help;
    QString helpTopic;        // Help: the command asked about, empty for the overview
    bool json = false;        // list, show, add, edit: JSON instead of text
    bool plain = false;       // list: "NUMBER CODE" lines for shell completion (not in the usage)
    QVariantMap selector;     // show, edit, remove: {"number": N} or {"code": CODE}
    QVariantMap request;      // add: the new port; edit: the changes (manager's request keys)
    bool force = false;       // remove: also a port an application holds open
    QString code;             // select
    int count = 0;            // watch: frames before it ends, 0 for none
    MonitorOptions monitor;   // monitor
    bool prometheus = false;  // stats: the Prometheus text format
};

// Either a command or the one line that says what is wrong with the arguments.
struct CtlParse {
    bool ok = false;
    CtlCommand command;
    QString error;
};

// arguments: everything after the program name.
CtlParse ParseCtlArguments(const QStringList& arguments);

// The usage text of one command, or the overview for an empty or unknown topic.
QString CtlHelp(const QString& topic);
