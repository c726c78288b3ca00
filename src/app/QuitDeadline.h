#pragma once

#include <functional>

class FirmwareUpdater;

/** Quitting always ends. A USB MIDI driver may never return from a send (a device unplugged in
    the middle of a SysEx message), and a thread inside that send cannot be stopped; at quit the
    program ends without it instead of waiting for ever. Inside a running program the engine's
    destructor keeps waiting, since the thread still reads the engine's data.
*/
namespace QuitDeadline
{
    /** At quit, on the message thread: stops the engine, waiting up to timeoutMs in all. When its
        thread has not ended by then, writes which thread did not end, the MIDI trace's last lines
        (bounded by a second), then the "shutdown" line, closes the log, runs the LastActions and
        ends the process at once with exitStatus without waiting for it.
        Returns only when the engine's thread has ended. */
    void stopEngineOrEndProcess (FirmwareUpdater& engine, int timeoutMs, int exitStatus = 0);

    /** While one exists, an end of the process by the deadline runs its action first: what its
        owner's destructor would have put back (a terminal's modes), since no destructor runs then.
        Create and destroy on the message thread; the action must not wait for anything. */
    class LastAction final
    {
    public:
        explicit LastAction (std::function<void()> action);
        ~LastAction();

        LastAction (const LastAction&) = delete;
        LastAction& operator= (const LastAction&) = delete;

    private:
        std::function<void()> action;
    };
}
