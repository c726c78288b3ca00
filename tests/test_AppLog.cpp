#include "app/AppLog.h"

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
