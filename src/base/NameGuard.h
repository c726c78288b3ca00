#pragma once

#include <juce_core/juce_core.h>

/** A claim on every instrument of one port name, that any number of updaters may hold at once and
    the others can see: an updater whose instrument has no place that survives its restarts (no
    USB location) holds the guard of its name while it updates, so that an Auto scan of another
    updater never takes the instrument in the moments it is away, restarting, and back under a
    new number.

    POSIX: a shared record lock (fcntl) on a file in the lock folder, which ends with its holder,
    however it ends; the test for others' holds ignores this process's own. Windows: a named
    mutex of the holder's own among a few dozen slots of that name (see InstrumentLock), which
    ends with its holder too; the test looks for the others' slots without making any.
    Process-wide registry; any thread may call.
*/
class NameGuard final
{
public:
    /** Holds the guard of that name for this process (once, however often it is called); false,
        with the reason in error, when it cannot be taken. */
    static bool hold (const juce::String& portName, juce::String& error);

    /** Lets go of this process's hold of that name. */
    static void release (const juce::String& portName);

    /** True while another process holds the guard of that name. */
    static bool isHeldElsewhere (const juce::String& portName);
};
