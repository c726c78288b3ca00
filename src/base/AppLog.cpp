#include "AppLog.h"
#include "BuildConstants.h"
#include "LogFile.h"

#include <mutex>

namespace AppLog
{
namespace
{
    // The lock makes the detach in closeLog() safe against a logLine() on another thread;
    // it is held while one line is handed to the file (which waits only while another program
    // cuts the shared log), never across a sleep or a MIDI wait.
    std::mutex logLock;
    std::unique_ptr<LogFile> logFile;

    /** The framework's log header, written with the same appending write as the lines. */
    juce::String headerFor (const juce::String& welcomeLine)
    {
        const juce::String newLine (juce::NewLine::getDefault());
        return newLine + "**********************************************************" + newLine
             + welcomeLine + newLine
             + "Log started: " + juce::Time::getCurrentTime().toString (true, true) + newLine;
    }
}

juce::String logFileNameFor (const juce::String& deviceName, Run run)
{
    return juce::String (BuildConstants::logFilePrefix) + deviceName.toLowerCase().removeCharacters (" ")
         + (run == Run::demo ? "-demo" : "");
}

juce::String welcomeLineFor (const juce::String& deviceName)
{
    return "Vorn Firmware Updater for " + deviceName + " v" + BuildConstants::applicationVersion;
}

juce::File logFileFor (const juce::String& deviceName, Run run)
{
    return juce::FileLogger::getSystemLogFileFolder()
        .getChildFile (BuildConstants::logFolderName)
        .getChildFile (logFileNameFor (deviceName, run));
}

void createLogAt (const juce::File& file, const juce::String& welcomeLine)
{
    // The log has nowhere to say that it cannot be written.
    auto newLog = std::make_unique<LogFile> (file, BuildConstants::logSizeLimitBytes);
    newLog->trim();
    newLog->append (headerFor (welcomeLine));

    std::unique_ptr<LogFile> old;
    {
        const std::lock_guard<std::mutex> lock (logLock);
        old = std::move (logFile);
        logFile = std::move (newLog);
    }
}

void createLog (const juce::String& deviceName, Run run)
{
    createLogAt (logFileFor (deviceName, run), welcomeLineFor (deviceName));
}

juce::String timeStampPrefix (juce::Time time)
{
    return time.formatted ("%Y-%m-%dT%H:%M:%S - ");
}

void logLine (const juce::String& text)
{
    const std::lock_guard<std::mutex> lock (logLock);

    if (logFile != nullptr)
        logFile->append (timeStampPrefix (juce::Time::getCurrentTime()) + text + juce::NewLine::getDefault());
}

void closeLog()
{
    std::unique_ptr<LogFile> old;
    {
        const std::lock_guard<std::mutex> lock (logLock);
        old = std::move (logFile);
    }
}
}
