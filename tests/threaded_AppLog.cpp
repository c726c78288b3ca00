#include "base/AppLog.h"
#include "base/LogFile.h"
#include "support/SecondProgram.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <map>
#include <regex>
#include <thread>
#include <vector>

// The engine and MIDI threads log while the message thread closes the log at shutdown (and
// reopens it, as tools and tests do): no line may be torn, lost while a log is open, or crash.
TEST (AppLog, closingAndReopeningWhileOtherThreadsLogNeverTearsALine)
{
    juce::TemporaryFile temp;
    std::atomic<bool> stop { false };
    std::vector<std::thread> writers;

    AppLog::createLogAt (temp.getFile(), "welcome");

    for (int t = 0; t < 3; ++t)
        writers.emplace_back ([t, &stop]
        {
            for (int i = 0; ! stop.load(); ++i)
                logLine ("writer " + juce::String (t) + " line " + juce::String (i) + " end");
        });

    for (int round = 0; round < 50; ++round)
    {
        AppLog::closeLog();
        logLine ("dropped while closed");
        AppLog::createLogAt (temp.getFile(), "welcome");
        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }

    AppLog::closeLog();
    stop = true;

    for (auto& writer : writers)
        writer.join();

    const std::regex whole (R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d - writer [0-2] line \d+ end)");
    int written = 0;

    for (auto& line : juce::StringArray::fromLines (temp.getFile().loadFileAsString()))
    {
        if (! line.contains ("writer"))
            continue;

        ++written;
        EXPECT_TRUE (std::regex_match (line.toStdString(), whole)) << line;
    }

    EXPECT_GT (written, 0);
    EXPECT_FALSE (temp.getFile().loadFileAsString().contains ("dropped while closed"));
}

// The window and a terminal updater share one log: while one appends, the other starts, cuts the
// log to its limit and writes its header. Every line appended since the last cut must be there,
// whole, and nothing the cut keeps may be overwritten by the header or lost to the cut.
TEST (AppLog, aSecondProgramStartingOnTheLogLosesAndTearsNoneOfTheFirstsLines)
{
    juce::TemporaryFile temp;
    const juce::int64 limit = 16 * 1024;
    ASSERT_TRUE (temp.getFile().replaceWithText (juce::String::repeatedString ("old line of the previous run\n", 2000)));

    std::atomic<bool> stop { false };
    std::atomic<int> starts { 0 };
    constexpr int numLines = 20000;

    std::thread secondProgram ([&]
    {
        while (! stop.load())
        {
            LogFile log (temp.getFile(), limit);
            EXPECT_EQ (log.trim(), "");
            EXPECT_EQ (log.append ("\r\n**********\r\nsecond program\r\n"), "");
            ++starts;
        }
    });

    {
        LogFile firstProgram (temp.getFile(), 1024 * 1024);

        for (int i = 0; i < numLines; ++i)
            ASSERT_EQ (firstProgram.append ("first program line " + juce::String (i) + " end\r\n"), "");
    }

    stop = true;
    secondProgram.join();
    EXPECT_GT (starts.load(), 1);

    // The cuts keep a tail, so the first program's lines left must be one unbroken run that
    // ends with its last line; every other line is a whole header line.
    const std::regex firstsLine (R"(first program line (\d+) end)");
    int expected = -1;

    for (auto& line : juce::StringArray::fromLines (temp.getFile().loadFileAsString()))
    {
        std::smatch match;
        const auto text = line.toStdString();

        if (std::regex_match (text, match, firstsLine))
        {
            const int number = std::stoi (match[1].str());
            EXPECT_TRUE (expected < 0 || number == expected) << "line " << expected << " is missing before " << number;
            expected = number + 1;
        }
        else
        {
            EXPECT_TRUE (text.empty() || text == "**********" || text == "second program"
                         || text == "old line of the previous run") << text;
        }
    }

    EXPECT_EQ (expected, numLines);
}

namespace
{
    // The second program of the test below, as a program starts on its log: it cuts the log,
    // writes its header, then its numbered lines, then makes a file that says it is done.
    // Arguments: the log, the size limit, the count, the file to make.
    int appendToLog (const juce::StringArray& arguments)
    {
        if (arguments.size() != 4)
            return 2;

        const juce::File file (arguments[0]);
        LogFile log (file, arguments[1].getLargeIntValue());
        auto error = log.trim();

        if (error.isEmpty())
            error = log.append ("\r\n**********\r\nsecond program\r\n");

        for (int i = 0; error.isEmpty() && i < arguments[2].getIntValue(); ++i)
            error = log.append ("second program line " + juce::String (i) + " end\r\n");

        if (error.isEmpty() && ! juce::File (arguments[3]).create().wasOk())
            error = "cannot make " + arguments[3];

        std::cout << error << std::endl;
        return error.isEmpty() ? 0 : 1;
    }

    const SecondProgram::Registration appendingProgram { "append-log", appendToLog };
}

// The window and vfu-update are two programs on one log (two processes, which on Windows open
// the file each with its own handle): while the second starts, cuts the log and writes its
// lines, the first appends for as long as the second runs. Both programs' lines must be whole,
// and each program's lines one unbroken run up to its last line (the cuts drop only older lines).
TEST (AppLog, twoProgramsAppendingToOneLogAtOnceTearAndDropNoLine)
{
    juce::TemporaryFile temp;
    const juce::int64 limit = 64 * 1024;
    const int secondsLines = 3000;
    ASSERT_TRUE (temp.getFile().replaceWithText (juce::String::repeatedString ("old line of the previous run\n", 3000)));

    // The first program stops once the second has written its last line, not once it has ended:
    // a process can take long to end (a sanitizer's checks at exit), and lines written meanwhile
    // would cut the second's lines out of the log.
    juce::TemporaryFile secondDone;
    juce::ChildProcess secondProgram;
    ASSERT_TRUE (SecondProgram::start (secondProgram, "append-log",
                                       { temp.getFile().getFullPathName(), juce::String (limit), juce::String (secondsLines),
                                         secondDone.getFile().getFullPathName() }));
    int firstsLines = 0;
    {
        LogFile firstProgram (temp.getFile(), limit);

        do
            ASSERT_EQ (firstProgram.append ("first program line " + juce::String (firstsLines++) + " end\r\n"), "");
        while (secondProgram.isRunning() && ! secondDone.getFile().existsAsFile());
    }

    const auto output = secondProgram.readAllProcessOutput();
    ASSERT_TRUE (secondProgram.waitForProcessToFinish (60000)) << output;
    EXPECT_EQ (secondProgram.getExitCode(), 0u) << output;

    const std::regex numberedLine (R"((first|second) program line (\d+) end)");
    std::map<std::string, int> expected { { "first", -1 }, { "second", -1 } };

    for (auto& line : juce::StringArray::fromLines (temp.getFile().loadFileAsString()))
    {
        std::smatch match;
        const auto text = line.toStdString();

        if (std::regex_match (text, match, numberedLine))
        {
            auto& next = expected[match[1].str()];
            const int number = std::stoi (match[2].str());
            EXPECT_TRUE (next < 0 || number == next) << match[1] << " program's line " << next << " is missing before " << number;
            next = number + 1;
        }
        else
        {
            EXPECT_TRUE (text.empty() || text == "**********" || text == "second program"
                         || text == "old line of the previous run") << text;
        }
    }

    // The first program wrote at most one line after the second's last, so the second's last
    // line is within any cut's tail.
    EXPECT_EQ (expected["second"], secondsLines);
    EXPECT_EQ (expected["first"], firstsLines);
}
