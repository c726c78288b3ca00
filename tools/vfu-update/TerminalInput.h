#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>

/** Keys from standard input, Ctrl-C (SIGINT, SIGTERM, or the console's break on Windows) and the
    end of the session (SIGHUP; the console's close, logoff and shutdown events on Windows),
    delivered on the message thread without ever blocking it.

    A reader thread of its own waits for input; on a terminal, input is read key by key without
    echo (Ctrl-C still interrupts). The terminal is touched only while the process is in its
    foreground: a background job neither reads keys nor changes the terminal's modes (either would
    stop it), and takes both up when it is continued in the foreground. A terminal that is not the
    process's controlling terminal (started with setsid, or after a hang-up) is never read: for
    this process its input has ended, since none of its keys can be meant for it. The terminal's settings
    and the signal handlers are restored by the destructor, and the settings also when the quit
    deadline ends the process. Create and destroy on the message thread.
*/
class TerminalInput final : private juce::Thread
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = default;
        /** A key; Enter arrives as '\n'. Message thread. */
        virtual void keyPressed (char key) = 0;
        /** Ctrl-C or a termination request. Message thread. */
        virtual void interruptRequested() = 0;
        /** Standard input has ended: no key will come. Message thread. */
        virtual void inputEnded() = 0;
        /** The session is gone (the terminal hung up, the console is closing): no key will come.
            processEndsSoon: the system ends the process within seconds whatever it does
            (Windows), so there is no carrying on. Message thread. */
        virtual void hungUp (bool processEndsSoon) = 0;
    };

    explicit TerminalInput (Listener& listener);
    ~TerminalInput() override;

    static bool isStandardOutputTerminal();

    /** The program has written its last log line. On Windows a console close, logoff or shutdown
        waits for this (within the seconds Windows allows) before the process may end. Any thread. */
    static void runEnded();

private:
    void run() override;
    void postKey (char key);
    void postInterrupt();
    void postInputEnded();
    void postHangUp (bool processEndsSoon);

    class Platform;
    std::unique_ptr<Platform> platform;

    // Cleared by the destructor, so that keys posted just before it are dropped.
    std::shared_ptr<std::atomic<Listener*>> target;

    JUCE_DECLARE_NON_COPYABLE (TerminalInput)
};
