#include "app/AppLog.h"

#include <gtest/gtest.h>

#include <atomic>
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
