#pragma once

#include <juce_core/juce_core.h>

/** One log file that several programs append to at once (the window and the terminal updaters
    share the log of their instrument), kept below a size limit.

    Every append is one write to the end of the file (O_APPEND on Linux, FILE_APPEND_DATA with
    write sharing on Windows), so no program's line overwrites another's. The file is cut at a
    line boundary in place, under an exclusive lock on the file, while every append holds a shared
    one (an exclusive one on Windows, where not every file system appends in one step): a line
    another program appends during the cut waits for it and then lands whole, instead of being
    lost to a copy that replaces the file. The cut happens when the file is opened and
    again whenever it has grown a quarter past the limit, so a long run stays bounded too.

    The file is opened for each append, so a log that was deleted or moved is made again. An
    object is used by one thread at a time (AppLog serialises its callers).
*/
class LogFile
{
public:
    LogFile (const juce::File& file, juce::int64 sizeLimitBytes);

    /** Appends the text (whole lines, each ending in a line break) in one write, then cuts the
        file when it has grown a quarter past the limit. An error text, empty when it worked. */
    juce::String append (const juce::String& text);

    /** Cuts the file to its last sizeLimitBytes at most, starting after a line break; nothing
        when it is smaller. An error text, empty when it worked. */
    juce::String trim();

    const juce::File& getFile() const noexcept { return file; }

private:
    juce::File file;
    juce::int64 sizeLimit;

    JUCE_DECLARE_NON_COPYABLE (LogFile)
};
