#include <gtest/gtest.h>

#include "com/CommandLine.h"

namespace {

RegistrationSwitch SwitchOf(const QStringList& arguments)
{
    return FindRegistrationSwitch(CommandLineText(arguments));
}

const QString Program = QStringLiteral("/opt/mv-5840/bin/MV5840VSP");

}  // namespace

TEST(CommandLine, RegistrationSwitchCountsOnlyAtTheVeryEndInAnyCaseAfterDashOrSlash)
{
    EXPECT_EQ(SwitchOf({Program, "-RegServer"}), RegistrationSwitch::Register);
    EXPECT_EQ(SwitchOf({Program, "/regserver"}), RegistrationSwitch::Register);
    EXPECT_EQ(SwitchOf({Program, "-REGSERVER"}), RegistrationSwitch::Register);
    EXPECT_EQ(SwitchOf({Program, "-UNREGSERVER"}), RegistrationSwitch::Unregister);
    EXPECT_EQ(SwitchOf({Program, "/UnregServer"}), RegistrationSwitch::Unregister);
    // Only the last switch on the line counts, whatever came before it.
    EXPECT_EQ(SwitchOf({Program, "-Embedding", "-RegServer"}), RegistrationSwitch::Register);
    EXPECT_EQ(SwitchOf({Program, "other", "/UnRegServer"}), RegistrationSwitch::Unregister);
}

TEST(CommandLine, AnythingAfterTheRegistrationSwitchStartsNormally)
{
    // One blank after the switch: the rebuilt line goes on after it.
    EXPECT_EQ(SwitchOf({Program, "-RegServer", ""}), RegistrationSwitch::None);
    EXPECT_EQ(FindRegistrationSwitch(Program + " /RegServer "), RegistrationSwitch::None);
    EXPECT_EQ(SwitchOf({Program, "-RegServer", "-Embedding"}), RegistrationSwitch::None);
    EXPECT_EQ(SwitchOf({Program, "-UnregServer", "x"}), RegistrationSwitch::None);
    EXPECT_EQ(SwitchOf({Program, "/Unregister"}), RegistrationSwitch::None);
    EXPECT_EQ(SwitchOf({Program, "RegServer"}), RegistrationSwitch::None);
    EXPECT_EQ(SwitchOf({Program}), RegistrationSwitch::None);
    // Dashes and slashes in the program path are passed over.
    EXPECT_EQ(FindRegistrationSwitch(QStringLiteral("/usr/local/my-tools/MV5840VSP")), RegistrationSwitch::None);
    // A switch glued to an argument still ends the line after a "-".
    EXPECT_EQ(SwitchOf({Program, "value-RegServer"}), RegistrationSwitch::Register);
    EXPECT_EQ(SwitchOf({Program, "--RegServer"}), RegistrationSwitch::Register);
}

TEST(CommandLine, EmbeddingAndAutomationMeanAWindowlessRunNotUnderUserControl)
{
    for (const char* argument : {"-Embedding", "/embedding", "-AUTOMATION", "/Automation"}) {
        const RunSwitches switches = ParseRunSwitches({Program, argument});
        EXPECT_TRUE(switches.windowless) << argument;
        EXPECT_FALSE(switches.userControl) << argument;
    }
    const RunSwitches later = ParseRunSwitches({Program, "file", "-Embedding"});
    EXPECT_TRUE(later.windowless);
}

TEST(CommandLine, OtherSwitchesAndPlainArgumentsStartTheUsersRun)
{
    for (const char* argument : {"-Unregister", "/unregserver", "-pt", "-p", "Embedding", "-Embeddingx", "-DDE", "-"}) {
        const RunSwitches switches = ParseRunSwitches({Program, argument});
        EXPECT_FALSE(switches.windowless) << argument;
        EXPECT_TRUE(switches.userControl) << argument;
    }
    // The program path itself is never a switch.
    EXPECT_TRUE(ParseRunSwitches({QStringLiteral("-Embedding")}).userControl);
    // "dde" in exact case: a run with a window that the user did not start.
    const RunSwitches dde = ParseRunSwitches({Program, "/dde"});
    EXPECT_FALSE(dde.windowless);
    EXPECT_FALSE(dde.userControl);
}

TEST(CommandLine, ServiceSwitchIsExactAndKeepsThePortsUnderUserControl)
{
    const RunSwitches service = ParseRunSwitches({Program, "--service"});
    EXPECT_TRUE(service.service);
    EXPECT_FALSE(service.windowless);
    EXPECT_TRUE(service.userControl);
    for (const char* argument : {"-service", "/service", "--Service", "--service=1", "service"})
        EXPECT_FALSE(ParseRunSwitches({Program, argument}).service) << argument;
    EXPECT_EQ(FindRegistrationSwitch("prog --service"), RegistrationSwitch::None);
}

TEST(CommandLine, HelpAndVersionAreAskedForAndStartNothingElse)
{
    for (const char* argument : {"--help", "-h"}) {
        const RunSwitches switches = ParseRunSwitches({Program, argument});
        EXPECT_TRUE(switches.help) << argument;
        EXPECT_TRUE(switches.ignored.isEmpty()) << argument;
    }
    for (const char* argument : {"--version", "-V"})
        EXPECT_TRUE(ParseRunSwitches({Program, argument}).version) << argument;
    // Exact: the letter case and an attached value make another (ignored) switch.
    for (const char* argument : {"-H", "--Help", "-v", "--version=1", "/h"}) {
        const RunSwitches switches = ParseRunSwitches({Program, argument});
        EXPECT_FALSE(switches.help || switches.version) << argument;
        EXPECT_EQ(switches.ignored, QStringList{argument}) << argument;
    }
    EXPECT_TRUE(ProgramUsage().startsWith("Usage: MV5840VSP"));
}

TEST(CommandLine, OnlySwitchesThatMeanNothingAreListedAsIgnored)
{
    const RunSwitches switches = ParseRunSwitches({Program, "-Embedding", "--service", "-Unregister", "/unregserver",
                                                   "-RegServer", "-pt", "-p", "/dde", "plain", "--verbose", "-x",
                                                   "-DDE"});
    EXPECT_EQ(switches.ignored, (QStringList{"--verbose", "-x", "-DDE"}));
}
