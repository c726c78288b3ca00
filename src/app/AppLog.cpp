#include "AppLog.h"
#include "BuildConstants.h"

#include <mutex>

namespace AppLog
{
namespace
{
    // The lock makes the detach in closeLog() safe against a logLine() on another thread;
    // it is held only while one line is handed to the file, never across a wait.
    std::mutex logLock;
    std::unique_ptr<juce::FileLogger> logger;
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
    auto newLogger = std::make_unique<juce::FileLogger> (file, welcomeLine, BuildConstants::logSizeLimitBytes);
    std::unique_ptr<juce::FileLogger> old;
    {
        const std::lock_guard<std::mutex> lock (logLock);
        old = std::move (logger);
        logger = std::move (newLogger);
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

    if (logger != nullptr)
        logger->logMessage (timeStampPrefix (juce::Time::getCurrentTime()) + text);
}

void closeLog()
{
    std::unique_ptr<juce::FileLogger> old;
    {
        const std::lock_guard<std::mutex> lock (logLock);
        old = std::move (logger);
    }
}
}
