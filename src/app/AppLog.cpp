#include "AppLog.h"
#include "BuildConstants.h"
#include "RegularFile.h"

#include <mutex>

#if ! JUCE_WINDOWS
 #include <cstring>
 #include <fcntl.h>
 #include <unistd.h>
#endif

namespace AppLog
{
namespace
{
    // The lock makes the detach in closeLog() safe against a logLine() on another thread;
    // it is held only while one line is handed to the file, never across a wait.
    std::mutex logLock;
    std::unique_ptr<juce::FileLogger> logger;

   #if ! JUCE_WINDOWS
    /** Writes each line to the end of the file in one write with O_APPEND. The window and a
        vfu-update that update two instruments side by side share the log; the framework's
        logger seeks to the end and then writes, so one program's line could overwrite the
        other's. */
    class AppendingFileLogger final : public juce::FileLogger
    {
    public:
        using juce::FileLogger::FileLogger;

        void logMessage (const juce::String& message) override
        {
            const auto line = message + juce::NewLine::getDefault();
            const int fd = ::open (getLogFile().getFullPathName().toRawUTF8(),
                                   O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);

            if (fd < 0)
                return;

            // The log has nowhere to say that it cannot be written.
            const char* data = line.toRawUTF8();
            RegularFile::writeWhole (fd, data, std::strlen (data));
            ::close (fd);
        }
    };

    using LogFileWriter = AppendingFileLogger;
   #else
    using LogFileWriter = juce::FileLogger;
   #endif
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
    auto newLogger = std::make_unique<LogFileWriter> (file, welcomeLine, BuildConstants::logSizeLimitBytes);
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
