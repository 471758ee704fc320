#include <gtest/gtest.h>

#include "cli/CtlCommand.h"

namespace {

CtlParse Parse(const QStringList& arguments)
{
    return ParseCtlArguments(arguments);
}

CtlCommand Command(const QStringList& arguments)
{
    const CtlParse parse = Parse(arguments);
    EXPECT_TRUE(parse.ok) << parse.error.toStdString();
    return parse.command;
}

std::string Error(const QStringList& arguments)
{
    const CtlParse parse = Parse(arguments);
    EXPECT_FALSE(parse.ok);
    EXPECT_FALSE(parse.error.contains(QLatin1Char('\n')));
    return parse.error.toStdString();
}

TEST(CtlCommand, ListWithAndWithoutJson)
{
    EXPECT_EQ(Command({"list"}).verb, CtlVerb::List);
    EXPECT_FALSE(Command({"list"}).json);
    EXPECT_TRUE(Command({"list", "--json"}).json);
    EXPECT_TRUE(Command({"list", "--plain"}).plain);
    Error({"show", "--number", "7", "--plain"});
}

TEST(CtlCommand, VersionAlone)
{
    EXPECT_EQ(Command({"--version"}).verb, CtlVerb::Version);
    EXPECT_EQ(Command({"-V"}).verb, CtlVerb::Version);
    EXPECT_NE(Error({"--version", "list"}).find("--version"), std::string::npos);
    EXPECT_TRUE(CtlHelp("").contains("--version"));
}

TEST(CtlCommand, AddCarriesTheRequestWithBusTypes)
{
    const CtlCommand add = Command(
        {"add", "--number", "9", "--code=B2", "--tcp", "--peer", "10.1.2.3", "--interval", "60"});
    EXPECT_EQ(add.verb, CtlVerb::Add);
    EXPECT_EQ(add.request.value("number").typeId(), QMetaType::Int);
    EXPECT_EQ(add.request.value("number").toInt(), 9);
    EXPECT_EQ(add.request.value("code").toString(), "B2");
    EXPECT_EQ(add.request.value("transport").toString(), "tcp");
    EXPECT_EQ(add.request.value("fixed_ip").toString(), "10.1.2.3");
    EXPECT_EQ(add.request.value("interval").typeId(), QMetaType::Int);
    EXPECT_EQ(add.request.value("interval").toInt(), 60);
    EXPECT_TRUE(add.selector.isEmpty());
    const CtlCommand edit = Command({"edit", "--number", "9", "--frame-gap", "0"});
    EXPECT_EQ(edit.request.value("frame_gap").typeId(), QMetaType::Int);
    EXPECT_EQ(edit.request.value("frame_gap").toInt(), 0);
}

TEST(CtlCommand, AddLeavesOutWhatIsNotGiven)
{
    const CtlCommand add = Command({"add", "--number", "7", "--code", ""});
    EXPECT_EQ(add.request.keys(), (QStringList{"code", "number"}));
    EXPECT_EQ(add.request.value("code").toString(), "");
}

TEST(CtlCommand, ComNumbersOutsideTheirRangeAreWrongArguments)
{
    for (const char* number : {"0", "257", "99999999999", "-99999999999"}) {
        EXPECT_EQ(Error({"add", "--number", number, "--code", "A"}),
                  "add: --number must be a COM number from 1 to 256 (see mv5840vspctl add --help)");
        EXPECT_NE(Error({"edit", "--number", "7", "--new-number", number}).find("--new-number must be a COM number"),
                  std::string::npos);
        EXPECT_NE(Error({"monitor", "--number", number}).find("--number must be a COM number"), std::string::npos);
    }
    EXPECT_EQ(Command({"add", "--number", " 12 ", "--code", "A"}).request.value("number").toInt(), 12);
    EXPECT_EQ(Command({"remove", "--number", "256"}).selector.value("number").toInt(), 256);
}

TEST(CtlCommand, ShowAndRemoveSelectByNumberOrCode)
{
    EXPECT_EQ(Command({"show", "--number", "7"}).selector, (QVariantMap{{"number", 7}}));
    EXPECT_EQ(Command({"show", "--code", "A1", "--json"}).selector, (QVariantMap{{"code", "A1"}}));
    const CtlCommand remove = Command({"remove", "--code", "表A1", "--force"});
    EXPECT_EQ(remove.selector, (QVariantMap{{"code", "表A1"}}));
    EXPECT_TRUE(remove.force);
    EXPECT_FALSE(Command({"remove", "--number", "3"}).force);
}

TEST(CtlCommand, EditWithNumberTakesCodeAsTheNewCode)
{
    const CtlCommand edit = Command(
        {"edit", "--number", "7", "--code", "Z9", "--new-number", "8", "--udp", "--dynamic"});
    EXPECT_EQ(edit.selector, (QVariantMap{{"number", 7}}));
    EXPECT_EQ(edit.request,
              (QVariantMap{{"code", "Z9"}, {"number", 8}, {"transport", "udp"}, {"fixed_ip", QString()}}));
}

TEST(CtlCommand, EditWithoutNumberSelectsByCode)
{
    const CtlCommand edit = Command({"edit", "--code", "A1", "--new-code", "A2", "--interval", "100"});
    EXPECT_EQ(edit.selector, (QVariantMap{{"code", "A1"}}));
    EXPECT_EQ(edit.request, (QVariantMap{{"code", "A2"}, {"interval", 100}}));
}

TEST(CtlCommand, SelectTakesTheCodeAsItStands)
{
    EXPECT_EQ(Command({"select", "-x"}).code, "-x");
    EXPECT_EQ(Command({"select", "ABC"}).verb, CtlVerb::Select);
    EXPECT_EQ(Command({"selected"}).verb, CtlVerb::Selected);
}

TEST(CtlCommand, WatchCount)
{
    EXPECT_EQ(Command({"watch"}).count, 0);
    EXPECT_EQ(Command({"watch", "--count", "3"}).count, 3);
    EXPECT_NE(Error({"watch", "--count", "0"}).find("at least 1"), std::string::npos);
}

TEST(CtlCommand, MonitorNamesAnyNumberOfPortsOrNone)
{
    const CtlCommand all = Command({"monitor"});
    EXPECT_EQ(all.verb, CtlVerb::Monitor);
    EXPECT_TRUE(all.monitor.selectors.isEmpty());
    EXPECT_EQ(all.monitor.style, TraceStyle::HexAndText);
    EXPECT_TRUE(all.monitor.pcapFile.isEmpty());
    EXPECT_EQ(all.monitor.count, 0);
    EXPECT_EQ(all.monitor.seconds, 0);

    const CtlCommand some = Command({"monitor", "--number", "7", "--code", "表A1", "--number=9"});
    ASSERT_EQ(some.monitor.selectors.size(), 3);
    EXPECT_EQ(some.monitor.selectors[0], QVariantMap({{"number", 7}}));
    EXPECT_EQ(some.monitor.selectors[1], QVariantMap({{"code", "表A1"}}));
    EXPECT_EQ(some.monitor.selectors[2], QVariantMap({{"number", 9}}));
}

TEST(CtlCommand, MonitorStylesEndsAndPcap)
{
    EXPECT_EQ(Command({"monitor", "--ascii"}).monitor.style, TraceStyle::Text);
    EXPECT_EQ(Command({"monitor", "--hex"}).monitor.style, TraceStyle::Hex);
    EXPECT_EQ(Command({"monitor", "--json"}).monitor.style, TraceStyle::Json);
    EXPECT_EQ(Command({"monitor", "--pcap", "/tmp/t.pcapng"}).monitor.pcapFile, "/tmp/t.pcapng");
    EXPECT_EQ(Command({"monitor", "--pcap", "-"}).monitor.pcapFile, "-");
    const CtlCommand ends = Command({"monitor", "--count", "5", "--seconds", "30"});
    EXPECT_EQ(ends.monitor.count, 5);
    EXPECT_EQ(ends.monitor.seconds, 30);

    EXPECT_NE(Error({"monitor", "--ascii", "--hex"}).find("--ascii and --hex exclude each other"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--pcap", "f", "--json"}).find("exclude each other"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--pcap", ""}).find("needs a file name"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--pcap"}).find("--pcap needs a value"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--count", "0"}).find("--count must be at least 1"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--seconds", "-1"}).find("--seconds must be at least 1"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--count", "1", "--count", "2"}).find("given twice"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--hex=yes"}).find("--hex takes no value"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--force"}).find("unknown option --force"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--number", "x"}).find("not an integer"), std::string::npos);

    EXPECT_TRUE(Command({"monitor", "--pcap", "f"}).monitor.decodeAs.isEmpty());
    EXPECT_EQ(Command({"monitor", "--pcap", "f", "--decode-as", "mbrtu"}).monitor.decodeAs, "mbrtu");
    EXPECT_NE(Error({"monitor", "--decode-as", "mbrtu"}).find("give --pcap FILE"), std::string::npos);
    EXPECT_NE(Error({"monitor", "--pcap", "f", "--decode-as", "mb rtu"}).find("not a dissector name: mb rtu"),
              std::string::npos);
    EXPECT_NE(Error({"monitor", "--pcap", "f", "--decode-as", ""}).find("not a dissector name"), std::string::npos);
}

TEST(CtlCommand, StatsInThePrometheusFormat)
{
    const CtlCommand stats = Command({"stats", "--prometheus"});
    EXPECT_EQ(stats.verb, CtlVerb::Stats);
    EXPECT_TRUE(stats.prometheus);
    EXPECT_FALSE(Command({"stats"}).prometheus);
    EXPECT_NE(Error({"stats", "--json"}).find("unknown option --json"), std::string::npos);
    EXPECT_NE(Error({"list", "--prometheus"}).find("unknown option --prometheus"), std::string::npos);
}

TEST(CtlCommand, HelpEverywhere)
{
    EXPECT_EQ(Command({"--help"}).verb, CtlVerb::Help);
    EXPECT_EQ(Command({"-h"}).helpTopic, "");
    EXPECT_EQ(Command({"help"}).helpTopic, "");
    EXPECT_EQ(Command({"help", "add"}).helpTopic, "add");
    // Help wins over whatever else is wrong on the line.
    EXPECT_EQ(Command({"add", "--bogus", "--help"}).helpTopic, "add");
    EXPECT_EQ(Command({"watch", "-h"}).helpTopic, "watch");
    for (const char* verb :
         {"list", "show", "add", "edit", "remove", "select", "selected", "watch", "monitor", "stats"})
        EXPECT_TRUE(CtlHelp(verb).startsWith(QStringLiteral("Usage: mv5840vspctl ") + verb)) << verb;
    EXPECT_TRUE(CtlHelp("").contains("Exit status"));
}

TEST(CtlCommand, WrongArgumentsSayWhatIsWrongInOneLine)
{
    EXPECT_NE(Error({}).find("no command"), std::string::npos);
    EXPECT_NE(Error({"frob"}).find("unknown command frob"), std::string::npos);
    EXPECT_NE(Error({"help", "frob"}).find("unknown command frob"), std::string::npos);
    EXPECT_NE(Error({"list", "--number", "3"}).find("unknown option --number"), std::string::npos);
    EXPECT_NE(Error({"add", "--number", "seven"}).find("--number: not an integer: seven"), std::string::npos);
    // The usage shows the code as required; an empty one is the program's to judge.
    EXPECT_EQ(Error({"add", "--number", "9"}), "add: --code CODE is required (see mv5840vspctl add --help)");
    EXPECT_EQ(Error({"add", "--number", "9", "--tcp", "--peer", "10.0.0.1"}),
              "add: --code CODE is required (see mv5840vspctl add --help)");
    EXPECT_NE(Error({"add", "--interval"}).find("--interval needs a value"), std::string::npos);
    EXPECT_NE(Error({"add", "--number", "1", "--number", "2"}).find("--number given twice"), std::string::npos);
    EXPECT_NE(Error({"add", "--tcp", "--udp"}).find("exclude each other"), std::string::npos);
    EXPECT_NE(Error({"edit", "--number", "1", "--peer", "1.2.3.4", "--dynamic"}).find("exclude each other"),
              std::string::npos);
    EXPECT_NE(Error({"list", "--json=yes"}).find("--json takes no value"), std::string::npos);
    EXPECT_NE(Error({"show"}).find("which port?"), std::string::npos);
    EXPECT_NE(Error({"remove", "--number", "1", "--code", "A"}).find("not both"), std::string::npos);
    EXPECT_NE(Error({"edit", "--number", "1"}).find("nothing to change"), std::string::npos);
    EXPECT_NE(Error({"edit", "--number", "1", "--code", "A", "--new-code", "B"}).find("both set the new code"),
              std::string::npos);
    EXPECT_NE(Error({"show", "7"}).find("unexpected argument: 7"), std::string::npos);
    EXPECT_NE(Error({"select"}).find("exactly one CODE"), std::string::npos);
    EXPECT_NE(Error({"select", "A", "B"}).find("exactly one CODE"), std::string::npos);
    EXPECT_NE(Error({"remove", "--tcp", "--number", "1"}).find("unknown option --tcp"), std::string::npos);
    EXPECT_NE(Error({"show", "--new-number", "1"}).find("see mv5840vspctl show --help"), std::string::npos);
}

}  // namespace
