#include "cli/CtlCommand.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <optional>

namespace {

struct VerbInfo {
    CtlVerb verb;
    const char* usage;
};

const QHash<QString, VerbInfo>& Verbs()
{
    static const QHash<QString, VerbInfo> verbs = {
        {"list",
         {CtlVerb::List, "Usage: mv5840vspctl list [--json]\n"
                         "Prints every configured port: slot, name, code, link, fixed address, peer,\n"
                         "online mark, bytes received and sent, state and device (or why the port is\n"
                         "not served).\n"
                         "  --json   a JSON array with one object per port; unknown addresses are null\n"}},
        {"show",
         {CtlVerb::Show, "Usage: mv5840vspctl show (--number N | --code CODE) [--json]\n"
                         "Prints one port with every field the program reports.\n"
                         "  --number N    the port COM<N>\n"
                         "  --code CODE   the port whose DTU code is CODE (shared-port mode, where all\n"
                         "                ports have the same number)\n"
                         "  --json        a JSON object\n"}},
        {"add",
         {CtlVerb::Add, "Usage: mv5840vspctl add --number N --code CODE [--tcp | --udp]\n"
                        "                        [--peer A.B.C.D | --dynamic] [--interval SECONDS]\n"
                        "                        [--frame-gap MS] [--net-port N] [--net-mode MODE] [--json]\n"
                        "Adds a port, stores it in the configuration file and serves it; prints it.\n"
                        "  --number N          COM number, 1 to 256 (not needed in shared-port mode)\n"
                        "  --code CODE         DTU code, at most 11 bytes\n"
                        "  --tcp, --udp        how the DTU is reached (UDP by default)\n"
                        "  --peer A.B.C.D      fixed DTU address; without it the DTU logs in from anywhere\n"
                        "  --dynamic           no fixed address (the default)\n"
                        "  --interval SECONDS  longest time between logins, 10 to 100000 (300 by default)\n"
                        "  --frame-gap MS      idle time that ends a chunk of the application's bytes,\n"
                        "                      0 to 1000 (10 by default; 0 sends each write at once)\n"
                        "  --net-port N        TCP port on which one network client at a time uses the port\n"
                        "                      instead of an application here, 1 to 65535 (0: none, the default)\n"
                        "  --net-mode MODE     how that client speaks: rfc2217 (the default) or raw\n"
                        "  --json              print the new port as a JSON object\n"}},
        {"edit",
         {CtlVerb::Edit, "Usage: mv5840vspctl edit (--number N | --code CODE) [--new-number M]\n"
                         "                         [--new-code CODE] [--tcp | --udp] [--peer A.B.C.D | --dynamic]\n"
                         "                         [--interval SECONDS] [--frame-gap MS] [--net-port N]\n"
                         "                         [--net-mode MODE] [--json]\n"
                         "Changes a port; what is not given stays as it is. The port is restarted and\n"
                         "the configuration file updated; prints the port.\n"
                         "  --number N          the port COM<N>; with it, --code CODE sets the new code\n"
                         "  --code CODE         without --number: the port whose DTU code is CODE\n"
                         "  --new-number M      new COM number, 1 to 256\n"
                         "  --new-code CODE     new DTU code, at most 11 bytes\n"
                         "  --tcp, --udp        how the DTU is reached\n"
                         "  --peer A.B.C.D      fixed DTU address\n"
                         "  --dynamic           no fixed address: the DTU logs in from anywhere\n"
                         "  --interval SECONDS  longest time between logins, 10 to 100000\n"
                         "  --frame-gap MS      idle time that ends a chunk of the application's bytes, 0 to 1000\n"
                         "  --net-port N        TCP port for a network client, 1 to 65535; 0: none\n"
                         "  --net-mode MODE     rfc2217 or raw\n"
                         "  --json              print the port as a JSON object\n"}},
        {"remove",
         {CtlVerb::Remove, "Usage: mv5840vspctl remove (--number N | --code CODE) [--force]\n"
                           "Closes a port and deletes it from the configuration file. A port that an\n"
                           "application holds open is refused unless --force is given.\n"
                           "  --number N    the port COM<N>\n"
                           "  --code CODE   the port whose DTU code is CODE (shared-port mode)\n"
                           "  --force       remove it even while an application holds it open\n"}},
        {"select",
         {CtlVerb::Select, "Usage: mv5840vspctl select CODE\n"
                           "Shared-port mode: sends what applications write to the shared port to the DTU\n"
                           "with this code (letters A to Z in any case). Fails when no port in service\n"
                           "has the code; the earlier choice then stays.\n"}},
        {"selected",
         {CtlVerb::Selected, "Usage: mv5840vspctl selected\n"
                             "Prints the code of the DTU selected for the shared port, or \"#NoSelected\".\n"}},
        {"watch",
         {CtlVerb::Watch, "Usage: mv5840vspctl watch [--count N]\n"
                          "Shows every port's state and byte rates, redrawn each second in place;\n"
                          "q or Ctrl+C ends it. When standard output is not a terminal, the table is\n"
                          "printed again each second instead.\n"
                          "  --count N   end after N refreshes\n"}},
        {"monitor",
         {CtlVerb::Monitor, "Usage: mv5840vspctl monitor [--number N | --code CODE]... [--ascii | --hex | --json]\n"
                            "                            [--pcap FILE [--decode-as NAME]] [--count N] [--seconds S]\n"
                            "Prints what goes over the wire as it happens, one line per event: the bytes\n"
                            "from the DTU (rx) and the chunks the application wrote (tx), logins, online\n"
                            "and offline, TCP connects, refusals, ups and downs, bytes dropped for an\n"
                            "application that does not read, oversized datagrams and datagrams with a code\n"
                            "no port has. Every port unless some are named. Ctrl+C ends it. A monitor that\n"
                            "cannot keep up loses trace lines (it says how many), never a port's bytes.\n"
                            "  --number N    the port COM<N>; may be given several times\n"
                            "  --code CODE   the port whose DTU code is CODE; may be given several times\n"
                            "  --ascii       the bytes as text (\\r, \\n, \\xNN for the rest)\n"
                            "  --hex         the bytes in hex only\n"
                            "                (by default hex and printable text side by side)\n"
                            "  --json        one JSON object per line\n"
                            "  --pcap FILE   write a pcapng file instead (\"-\" for standard output): one\n"
                            "                interface per port named COM<n>, link type USER0, the bytes\n"
                            "                from the DTU inbound, other events as packet comments\n"
                            "  --decode-as NAME  with --pcap: the bytes are for Wireshark's dissector NAME\n"
                            "                (\"mbrtu\" for Modbus RTU): packets of link type upper PDU that\n"
                            "                Wireshark and tshark decode with no preference set\n"
                            "  --count N     end after N events\n"
                            "  --seconds S   end after S seconds\n"}},
        {"stats",
         {CtlVerb::Stats, "Usage: mv5840vspctl stats [--prometheus]\n"
                          "Prints every port's statistics since it was put in its slot, one line per\n"
                          "port: bytes from the DTU and its datagrams (or TCP reads), bytes to it and\n"
                          "the chunks they left in, logins, TCP connections up and attempts failed,\n"
                          "bytes dropped for an application that does not read, datagrams too long to\n"
                          "take and the latest error with its UTC time; then the datagrams whose code\n"
                          "no port has.\n"
                          "  --prometheus   every counter in the Prometheus text format (for the text-file\n"
                          "                 collector of a node exporter), each with a port=\"COM<n>\" label\n"}},
    };
    return verbs;
}

const char Overview[] = "Usage: mv5840vspctl COMMAND [OPTIONS]\n"
                        "Manages the ports of a running MV5840VSP (window or service) over the session bus.\n"
                        "\n"
                        "Commands:\n"
                        "  list       print every port (--json for JSON)\n"
                        "  show       print one port\n"
                        "  add        add a port\n"
                        "  edit       change a port\n"
                        "  remove     delete a port\n"
                        "  select     choose the shared port's DTU\n"
                        "  selected   print the shared port's DTU\n"
                        "  watch      live view of states and byte rates\n"
                        "  monitor    live trace of a port's traffic and events\n"
                        "  stats      statistics per port (--prometheus for a node exporter)\n"
                        "  help       this text, or a command's (mv5840vspctl help add)\n"
                        "\n"
                        "Options:\n"
                        "  -h, --help     this text\n"
                        "  -V, --version  print the version\n"
                        "\n"
                        "Every command takes --help. Exit status (the reason on standard error):\n"
                        "  0  done\n"
                        "  1  refused or failed: the number is taken, no such port, an application holds\n"
                        "     the port open, the configuration file cannot keep the change, no answer\n"
                        "  2  wrong arguments: an unknown option, a value missing, malformed or out of\n"
                        "     its range (a number, code, interval, gap or address), found by the tool\n"
                        "     or by MV5840VSP\n"
                        "  3  MV5840VSP not running, or no session bus\n";

// Reads the arguments of one command, option by option.
class Reader {
public:
    Reader(QString verbName, QStringList arguments) : verbName_(std::move(verbName)), arguments_(std::move(arguments))
    {
    }

    bool AtEnd() const { return position_ >= arguments_.size(); }

    // The next argument split into an option name and its inline value ("--number=7").
    QString NextOption()
    {
        QString argument = arguments_.at(position_++);
        inlineValue_.reset();
        const int equals = argument.indexOf(QLatin1Char('='));
        if (argument.startsWith(QLatin1String("--")) && equals > 0) {
            inlineValue_ = argument.mid(equals + 1);
            argument.truncate(equals);
        }
        return argument;
    }

    bool Value(const QString& option, QString& value)
    {
        if (inlineValue_) {
            value = *inlineValue_;
            return true;
        }
        if (AtEnd())
            return Fail(option + QLatin1String(" needs a value"));
        value = arguments_.at(position_++);
        return true;
    }

    // Numbers beyond int are pinned to its limits: they stay out of every valid range, so the
    // program answers them with its own range message.
    bool Integer(const QString& option, int& value)
    {
        QString text;
        if (!Value(option, text))
            return false;
        bool ok = false;
        const qlonglong parsed = text.trimmed().toLongLong(&ok, 10);
        if (!ok)
            return Fail(option + QLatin1String(": not an integer: ") + text);
        value = static_cast<int>(std::clamp<qlonglong>(parsed, INT_MIN, INT_MAX));
        return true;
    }

    bool Once(const QString& option)
    {
        if (seen_.contains(option))
            return Fail(option + QLatin1String(" given twice"));
        seen_ << option;
        return true;
    }

    bool Seen(const QString& option) const { return seen_.contains(option); }

    bool Fail(const QString& what)
    {
        error = verbName_ + QLatin1String(": ") + what + QLatin1String(" (see mv5840vspctl ") + verbName_
                + QLatin1String(" --help)");
        return false;
    }

    bool HasInlineValue() const { return inlineValue_.has_value(); }

    QString error;

private:
    QString verbName_;
    QStringList arguments_;
    qsizetype position_ = 0;
    std::optional<QString> inlineValue_;
    QStringList seen_;
};

// A COM number, 1 to 256 as the program takes them: one outside can name no port, so it is a
// wrong argument for every command rather than a port that is not there.
bool PortNumber(Reader& reader, const QString& option, int& value)
{
    constexpr int MaxPortNumber = 256;
    if (!reader.Integer(option, value))
        return false;
    if (value < 1 || value > MaxPortNumber)
        return reader.Fail(option + QLatin1String(" must be a COM number from 1 to 256"));
    return true;
}

// At least 1, or the option's own message.
bool Positive(Reader& reader, const QString& option, int& value)
{
    if (!reader.Integer(option, value))
        return false;
    if (value < 1)
        return reader.Fail(option + QLatin1String(" must be at least 1"));
    return true;
}

bool ReadMonitorOption(Reader& reader, const QString& option, MonitorOptions& monitor)
{
    static const QStringList styles = {"--ascii", "--hex", "--json", "--pcap"};
    if (styles.contains(option)) {
        for (const QString& other : styles)
            if (other != option && reader.Seen(other))
                return reader.Fail(other + QLatin1String(" and ") + option + QLatin1String(" exclude each other"));
    }
    if (option == QLatin1String("--number")) {
        int number = 0;
        if (!PortNumber(reader, option, number))
            return false;
        monitor.selectors << QVariantMap{{QStringLiteral("number"), number}};
    } else if (option == QLatin1String("--code")) {
        QString code;
        if (!reader.Value(option, code))
            return false;
        monitor.selectors << QVariantMap{{QStringLiteral("code"), code}};
    } else if (option == QLatin1String("--ascii")) {
        monitor.style = TraceStyle::Text;
    } else if (option == QLatin1String("--hex")) {
        monitor.style = TraceStyle::Hex;
    } else if (option == QLatin1String("--json")) {
        monitor.style = TraceStyle::Json;
    } else if (option == QLatin1String("--pcap")) {
        if (!reader.Value(option, monitor.pcapFile))
            return false;
        if (monitor.pcapFile.isEmpty())
            return reader.Fail(QLatin1String("--pcap needs a file name"));
    } else if (option == QLatin1String("--decode-as")) {
        if (!reader.Value(option, monitor.decodeAs))
            return false;
        // Wireshark's dissector names: lower-case letters, digits, dots, dashes and underscores.
        static const QRegularExpression name(QStringLiteral("^[a-z0-9._-]{1,64}$"));
        if (!name.match(monitor.decodeAs).hasMatch())
            return reader.Fail(QLatin1String("--decode-as: not a dissector name: ") + monitor.decodeAs);
    } else if (option == QLatin1String("--count")) {
        return Positive(reader, option, monitor.count);
    } else if (option == QLatin1String("--seconds")) {
        return Positive(reader, option, monitor.seconds);
    } else {
        return reader.Fail(QLatin1String("unknown option ") + option);
    }
    return true;
}

bool ReadOption(Reader& reader, const QString& option, CtlCommand& command, QString& selectorCode, QString& plainCode)
{
    const CtlVerb verb = command.verb;
    const bool takesSelector = verb == CtlVerb::Show || verb == CtlVerb::Edit || verb == CtlVerb::Remove;
    const bool takesChanges = verb == CtlVerb::Add || verb == CtlVerb::Edit;
    const bool takesJson = verb == CtlVerb::List || verb == CtlVerb::Show || takesChanges;

    if (!option.startsWith(QLatin1Char('-')))
        return reader.Fail(QLatin1String("unexpected argument: ") + option);
    // A monitor watches as many ports as are named.
    const bool repeatable = verb == CtlVerb::Monitor
                            && (option == QLatin1String("--number") || option == QLatin1String("--code"));
    if (!repeatable && !reader.Once(option))
        return false;
    const bool flag = option == QLatin1String("--json") || option == QLatin1String("--plain")
                      || option == QLatin1String("--force") || option == QLatin1String("--tcp")
                      || option == QLatin1String("--udp") || option == QLatin1String("--dynamic")
                      || option == QLatin1String("--ascii") || option == QLatin1String("--hex")
                      || option == QLatin1String("--prometheus");
    if (flag && reader.HasInlineValue())
        return reader.Fail(option + QLatin1String(" takes no value"));

    if (verb == CtlVerb::Monitor)
        return ReadMonitorOption(reader, option, command.monitor);
    if (option == QLatin1String("--json") && takesJson) {
        command.json = true;
    } else if (option == QLatin1String("--plain") && verb == CtlVerb::List) {
        command.plain = true;
    } else if (option == QLatin1String("--number") && (takesSelector || verb == CtlVerb::Add)) {
        int number = 0;
        if (!PortNumber(reader, option, number))
            return false;
        (verb == CtlVerb::Add ? command.request : command.selector).insert(QStringLiteral("number"), number);
    } else if (option == QLatin1String("--code") && (takesSelector || verb == CtlVerb::Add)) {
        // Which of the two meanings holds is known once every option is read.
        QString& target = verb == CtlVerb::Add ? plainCode : selectorCode;
        return reader.Value(option, target);
    } else if (option == QLatin1String("--force") && verb == CtlVerb::Remove) {
        command.force = true;
    } else if ((option == QLatin1String("--tcp") || option == QLatin1String("--udp")) && takesChanges) {
        if (reader.Seen(QStringLiteral("--tcp")) && reader.Seen(QStringLiteral("--udp")))
            return reader.Fail(QLatin1String("--tcp and --udp exclude each other"));
        command.request.insert(QStringLiteral("transport"), option.mid(2));
    } else if (option == QLatin1String("--peer") && takesChanges) {
        if (reader.Seen(QStringLiteral("--dynamic")))
            return reader.Fail(QLatin1String("--peer and --dynamic exclude each other"));
        QString address;
        if (!reader.Value(option, address))
            return false;
        command.request.insert(QStringLiteral("fixed_ip"), address);
    } else if (option == QLatin1String("--dynamic") && takesChanges) {
        if (reader.Seen(QStringLiteral("--peer")))
            return reader.Fail(QLatin1String("--peer and --dynamic exclude each other"));
        command.request.insert(QStringLiteral("fixed_ip"), QString());
    } else if (option == QLatin1String("--interval") && takesChanges) {
        int interval = 0;
        if (!reader.Integer(option, interval))
            return false;
        command.request.insert(QStringLiteral("interval"), interval);
    } else if (option == QLatin1String("--frame-gap") && takesChanges) {
        int gap = 0;
        if (!reader.Integer(option, gap))
            return false;
        command.request.insert(QStringLiteral("frame_gap"), gap);
    } else if (option == QLatin1String("--net-port") && takesChanges) {
        int port = 0;
        if (!reader.Integer(option, port))
            return false;
        command.request.insert(QStringLiteral("net_port"), port);
    } else if (option == QLatin1String("--net-mode") && takesChanges) {
        QString mode;
        if (!reader.Value(option, mode))
            return false;
        if (mode != QLatin1String("rfc2217") && mode != QLatin1String("raw"))
            return reader.Fail(QLatin1String("--net-mode must be rfc2217 or raw"));
        command.request.insert(QStringLiteral("net_mode"), mode);
    } else if (option == QLatin1String("--new-number") && verb == CtlVerb::Edit) {
        int number = 0;
        if (!PortNumber(reader, option, number))
            return false;
        command.request.insert(QStringLiteral("number"), number);
    } else if (option == QLatin1String("--new-code") && verb == CtlVerb::Edit) {
        QString code;
        if (!reader.Value(option, code))
            return false;
        command.request.insert(QStringLiteral("code"), code);
    } else if (option == QLatin1String("--prometheus") && verb == CtlVerb::Stats) {
        command.prometheus = true;
    } else if (option == QLatin1String("--count") && verb == CtlVerb::Watch) {
        return Positive(reader, option, command.count);
    } else {
        return reader.Fail(QLatin1String("unknown option ") + option);
    }
    return true;
}

CtlParse Failed(const QString& error)
{
    CtlParse parse;
    parse.error = error;
    return parse;
}

CtlParse Help(const QString& topic)
{
    CtlParse parse;
    parse.ok = true;
    parse.command.verb = CtlVerb::Help;
    parse.command.helpTopic = topic;
    return parse;
}

bool IsHelp(const QString& argument)
{
    return argument == QLatin1String("--help") || argument == QLatin1String("-h");
}

}  // namespace

CtlParse ParseCtlArguments(const QStringList& arguments)
{
    if (arguments.isEmpty())
        return Failed(QStringLiteral("no command given (see mv5840vspctl --help)"));
    const QString verbName = arguments.first();
    if (IsHelp(verbName))
        return Help(QString());
    if (verbName == QLatin1String("--version") || verbName == QLatin1String("-V")) {
        if (arguments.size() > 1)
            return Failed(QStringLiteral("--version takes nothing after it (see mv5840vspctl --help)"));
        CtlParse parse;
        parse.ok = true;
        parse.command.verb = CtlVerb::Version;
        return parse;
    }
    if (verbName == QLatin1String("help")) {
        if (arguments.size() > 2)
            return Failed(QStringLiteral("help: one command at most (see mv5840vspctl --help)"));
        const QString topic = arguments.value(1);
        if (!topic.isEmpty() && !Verbs().contains(topic))
            return Failed(QLatin1String("help: unknown command ") + topic
                          + QLatin1String(" (see mv5840vspctl --help)"));
        return Help(topic);
    }
    if (!Verbs().contains(verbName))
        return Failed(QLatin1String("unknown command ") + verbName + QLatin1String(" (see mv5840vspctl --help)"));

    const QStringList rest = arguments.mid(1);
    if (std::any_of(rest.begin(), rest.end(), IsHelp))
        return Help(verbName);

    CtlParse parse;
    parse.command.verb = Verbs().value(verbName).verb;
    CtlCommand& command = parse.command;
    Reader reader(verbName, rest);

    if (command.verb == CtlVerb::Select) {
        // The code may start with "-": it is taken as it stands.
        if (rest.size() != 1)
            return Failed(QStringLiteral("select: give exactly one CODE (see mv5840vspctl select --help)"));
        command.code = rest.first();
        parse.ok = true;
        return parse;
    }

    QString selectorCode;
    QString plainCode;
    while (!reader.AtEnd()) {
        const QString option = reader.NextOption();
        if (!ReadOption(reader, option, command, selectorCode, plainCode))
            return Failed(reader.error);
    }

    if (command.verb == CtlVerb::Monitor && reader.Seen(QStringLiteral("--decode-as"))
        && !reader.Seen(QStringLiteral("--pcap")))
        return Failed(QStringLiteral("monitor: --decode-as names what the bytes of a --pcap file are; give --pcap FILE "
                                     "(see mv5840vspctl monitor --help)"));
    const bool codeGiven = reader.Seen(QStringLiteral("--code"));
    if (command.verb == CtlVerb::Add) {
        // Required, as the usage shows: a forgotten --code would quietly make a port with an
        // empty code. An empty one given on purpose is the program's to judge.
        if (!codeGiven)
            return Failed(QStringLiteral("add: --code CODE is required (see mv5840vspctl add --help)"));
        command.request.insert(QStringLiteral("code"), plainCode);
    }
    if (command.verb == CtlVerb::Show || command.verb == CtlVerb::Remove || command.verb == CtlVerb::Edit) {
        const bool numberGiven = command.selector.contains(QStringLiteral("number"));
        if (command.verb == CtlVerb::Edit && numberGiven && codeGiven) {
            if (reader.Seen(QStringLiteral("--new-code")))
                return Failed(
                    QStringLiteral("edit: --code and --new-code both set the new code (see mv5840vspctl edit --help)"));
            command.request.insert(QStringLiteral("code"), selectorCode);
        } else if (numberGiven && codeGiven) {
            return Failed(verbName + QLatin1String(": give --number or --code, not both (see mv5840vspctl ") + verbName
                          + QLatin1String(" --help)"));
        } else if (codeGiven) {
            command.selector.insert(QStringLiteral("code"), selectorCode);
        } else if (!numberGiven) {
            return Failed(verbName + QLatin1String(": which port? give --number N or --code CODE (see mv5840vspctl ")
                          + verbName + QLatin1String(" --help)"));
        }
        if (command.verb == CtlVerb::Edit && command.request.isEmpty())
            return Failed(QStringLiteral("edit: nothing to change (see mv5840vspctl edit --help)"));
    }
    parse.ok = true;
    return parse;
}

QString CtlHelp(const QString& topic)
{
    const auto found = Verbs().constFind(topic);
    if (found == Verbs().constEnd())
        return QString::fromUtf8(Overview);
    return QString::fromUtf8(found->usage);
}
