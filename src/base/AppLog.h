#pragma once

#include <juce_core/juce_core.h>

/** The application log: one file per device in the user's application-data folder.

    createLog() and closeLog() are called on the message thread at start-up and shutdown;
    logLine() may be called from any thread at any time, also while the log is being closed.
*/
namespace AppLog
{
    /** Whose log: a run on the real instrument, or a demo run (VFU_SIMULATE) against a simulated
        one. A demo takes no instrument lock and may run beside a real update, so it writes a log
        of its own, never lines into the middle of the real one. */
    enum class Run { real, demo };

    /** "vfu-" + the device name in lower case without spaces ("vfu-quorrel"), and "-demo" after
        it for a demo run ("vfu-quorrel-demo"). */
    juce::String logFileNameFor (const juce::String& deviceName, Run run = Run::real);

    /** "Vorn Firmware Updater for <device> v2.1.12". */
    juce::String welcomeLineFor (const juce::String& deviceName);

    /** The file that createLog() writes to. */
    juce::File logFileFor (const juce::String& deviceName, Run run = Run::real);

    /** Opens (or reopens) the log, trimming an existing file to 1 MiB at a line boundary; the log
        is cut again whenever it grows a quarter past that while the program runs (see LogFile). */
    void createLog (const juce::String& deviceName, Run run = Run::real);

    /** Opens the log on an explicit file; for tools and tests. */
    void createLogAt (const juce::File& file, const juce::String& welcomeLine);

    /** Appends "<local time> - <text>"; does nothing while no log is open. Any thread. */
    void logLine (const juce::String& text);

    /** The prefix that logLine() puts before the text, "%Y-%m-%dT%H:%M:%S - " of the time. */
    juce::String timeStampPrefix (juce::Time time);

    /** Detaches and deletes the logger; later lines are dropped. Safe against concurrent logLine(). */
    void closeLog();
}

using AppLog::logLine;
