// The reporting place's pure parts: the journal's prefix, which standard error is the journal,
// and what a text from outside looks like in a line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "net/Log.h"
#include "net/RepeatSummary.h"

namespace {

std::string StreamOf(int fd)
{
    struct stat st {};
    EXPECT_EQ(fstat(fd, &st), 0);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

}  // namespace

TEST(Log, JournalLinesCarryTheSyslogPriorityInsteadOfTheName)
{
    EXPECT_EQ(Log::LinePrefix(Log::Priority::Error, true), "<3>");
    EXPECT_EQ(Log::LinePrefix(Log::Priority::Warning, true), "<4>");
    EXPECT_EQ(Log::LinePrefix(Log::Priority::Notice, true), "<5>");
    EXPECT_EQ(Log::LinePrefix(Log::Priority::Info, true), "<6>");
    EXPECT_EQ(Log::LinePrefix(Log::Priority::Debug, true), "<7>");
    EXPECT_EQ(Log::LinePrefix(Log::Priority::Error, false), "MV5840VSP: ");
    EXPECT_EQ(Log::LinePrefix(Log::Priority::Debug, false), "MV5840VSP: ");
}

TEST(Log, JournalStreamMustNameTheVeryFileBehindTheDescriptor)
{
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int fd = fileno(file);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);

    EXPECT_TRUE(Log::IsJournalStream(StreamOf(fd).c_str(), fd));
    EXPECT_TRUE(Log::IsJournalStream(StreamOf(pipeEnds[1]).c_str(), pipeEnds[1]));
    // Another file, or the other pipe's end with another inode: not the journal.
    EXPECT_FALSE(Log::IsJournalStream(StreamOf(pipeEnds[1]).c_str(), fd));
    EXPECT_FALSE(Log::IsJournalStream(nullptr, fd));
    EXPECT_FALSE(Log::IsJournalStream("", fd));
    EXPECT_FALSE(Log::IsJournalStream((StreamOf(fd) + "x").c_str(), fd));
    EXPECT_FALSE(Log::IsJournalStream(StreamOf(fd).substr(0, StreamOf(fd).find(':')).c_str(), fd));
    EXPECT_FALSE(Log::IsJournalStream(StreamOf(fd).c_str(), 1000));  // closed descriptor
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    std::fclose(file);
}

TEST(Log, TextsFromOutsideCannotBreakOrForgeALine)
{
    EXPECT_EQ(Log::Printable("A1"), "A1");
    EXPECT_EQ(Log::Printable(std::string("a\nb\0c\"\\\x7f", 8)), "a\\x0Ab\\x00c\\x22\\x5C\\x7F");
    EXPECT_EQ(Log::Printable("表A1é"), "表A1é");  // characters stay as they are
    // Bytes that are no UTF-8 character, and C1 controls, would make the journal keep the line
    // as a blob.
    EXPECT_EQ(Log::Printable("\xff\xfe\x01"), "\\xFF\\xFE\\x01");
    EXPECT_EQ(Log::Printable("\xe8\xa1"
                             "A"),
              "\\xE8\\xA1A");                                           // cut short
    EXPECT_EQ(Log::Printable("\xc0\xafx"), "\\xC0\\xAFx");              // overlong '/'
    EXPECT_EQ(Log::Printable("\xed\xa0\x80"), "\\xED\\xA0\\x80");       // a surrogate
    EXPECT_EQ(Log::Printable("\xc2\x85"), "\\xC2\\x85");                // NEL, a C1 control
    EXPECT_EQ(Log::Printable("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");  // outside the BMP
}

TEST(RepeatSummary, FirstAtOnceThenAtMostOneSummaryAMinuteWithTheCountSince)
{
    RepeatSummary summary;
    EXPECT_FALSE(summary.Due(0, 0));
    auto first = summary.Due(1, 1000);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->first);
    EXPECT_EQ(first->count, 1u);
    // A flood within the minute says nothing more.
    EXPECT_FALSE(summary.Due(500, 2000));
    EXPECT_FALSE(summary.Due(90000, 60999));
    auto next = summary.Due(90000, 61000);
    ASSERT_TRUE(next);
    EXPECT_FALSE(next->first);
    EXPECT_EQ(next->count, 89999u);
    // Nothing new: nothing to say, however long it was.
    EXPECT_FALSE(summary.Due(90000, 500000));
    // The next one after a quiet spell is said at once.
    auto late = summary.Due(90001, 500001);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->count, 1u);
}

TEST(RepeatSummary, WhatCameSinceTheLastReportIsSaidAtTheEndWithinTheMinute)
{
    RepeatSummary summary;
    EXPECT_FALSE(summary.Rest(0));
    ASSERT_TRUE(summary.Due(3, 1000));
    EXPECT_FALSE(summary.Due(10, 2000));
    auto rest = summary.Rest(10);
    ASSERT_TRUE(rest);
    EXPECT_EQ(rest->count, 7u);
    EXPECT_FALSE(rest->first);
    EXPECT_FALSE(summary.Rest(10));
    // A run whose only ones come at its end says them as the first.
    RepeatSummary late;
    auto only = late.Rest(2);
    ASSERT_TRUE(only);
    EXPECT_TRUE(only->first);
    EXPECT_EQ(only->count, 2u);
}
