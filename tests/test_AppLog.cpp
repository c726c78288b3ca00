#include "base/AppLog.h"
#include "base/LogFile.h"

#include <gtest/gtest.h>
#include <regex>

TEST (AppLog, fileNameIsLowerCaseWithoutSpaces)
{
    EXPECT_EQ (AppLog::logFileNameFor ("Model X Two"), "vfu-modelxtwo");
    EXPECT_EQ (AppLog::logFileNameFor ("Quorrel"), "vfu-quorrel");
    EXPECT_EQ (AppLog::welcomeLineFor ("Quorrel"), "Vorn Firmware Updater for Quorrel v2.1.12");
}

TEST (AppLog, linesCarryTheLocalTimeStampAndReachTheFileAtOnce)
{
    juce::TemporaryFile temp;
    AppLog::createLogAt (temp.getFile(), "welcome line");
    logLine ("hello there");

    const auto lines = juce::StringArray::fromLines (temp.getFile().loadFileAsString());
    AppLog::closeLog();
    logLine ("dropped after close");

    ASSERT_TRUE (lines.contains ("welcome line"));
    const auto last = lines[lines.size() - 2]; // the file ends with a line end
    EXPECT_TRUE (last.endsWith (" - hello there")) << last;
    EXPECT_TRUE (std::regex_match (last.toStdString(), std::regex (R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d - hello there)"))) << last;
    EXPECT_FALSE (temp.getFile().loadFileAsString().contains ("dropped"));
}

// A run that waits long for its instrument keeps logging: the log is cut while it runs, not only
// when a program starts, and what it keeps ends with the newest line and starts with a whole one.
TEST (AppLog, aLogThatGrowsWhileTheProgramRunsStaysWithinAQuarterOverItsLimit)
{
    juce::TemporaryFile temp;
    const juce::int64 limit = 4096;
    LogFile log (temp.getFile(), limit);
    juce::int64 largest = 0;

    for (int i = 0; i < 2000; ++i)
    {
        ASSERT_EQ (log.append ("waiting for the bootloader, poll " + juce::String (i) + "\r\n"), "");
        largest = std::max (largest, temp.getFile().getSize());
    }

    EXPECT_LE (largest, limit + limit / 4 + 64);
    const auto lines = juce::StringArray::fromLines (temp.getFile().loadFileAsString().trimEnd());
    EXPECT_TRUE (lines[0].startsWith ("waiting for the bootloader, poll ")) << lines[0];
    EXPECT_EQ (lines[lines.size() - 1], "waiting for the bootloader, poll 1999");
}
