#pragma once

#include <juce_core/juce_core.h>

/** One named lock shared by every process on this computer, whatever account runs it, and freed
    when its holder dies. The updaters take such locks per MIDI port (see PortLocks), so that one
    program at a time sends to an instrument.

    POSIX: an flock() on a file in /var/tmp. Windows: a named mutex in the Global\ namespace that
    every account may open. Any one thread may use an object at a time; released when destroyed.
*/
class InstrumentLock final
{
public:
    /** name: letters, digits, '-' and '_' are kept; anything else is hashed into the name. */
    explicit InstrumentLock (const juce::String& name);
    ~InstrumentLock();

    enum class Result
    {
        taken,  // this object holds the lock (also when it already did)
        held,   // another holder has it: another process, or another object of this one
        failed  // it cannot be taken for another reason (getError says why); never a lock
    };

    /** Takes the lock without waiting. */
    Result tryEnter();
    void exit();

    bool isHeld() const noexcept;
    juce::String getError() const { return error; }

    /** After a failure: true when the lock folder itself cannot hold lock files (missing, not a
        folder, not writable, full), rather than something odd at the lock file's own path. */
    bool failedForItsFolder() const noexcept { return folderUnusable; }

    /** Where the POSIX lock files live: /var/tmp, shared by every account and kept across a
        reboot, or the folder that the environment variable VFU_LOCK_FOLDER names (tests). */
    static juce::File getLockFolder();

    /** The lock's file (POSIX) or mutex name (Windows), for messages. */
    juce::String getLockPath() const;

private:
    const juce::String name;
    juce::String error;
    bool folderUnusable = false;

   #if JUCE_WINDOWS
    void* handle = nullptr;
   #else
    /** Opens the lock file, making it with its final mode when it is missing: the descriptor, or
        the negative error number. */
    static int openOrMake (const juce::String& path, int openFlags);

    int fd = -1;
   #endif

    JUCE_DECLARE_NON_COPYABLE (InstrumentLock)
};
