#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>

/** Keys from standard input and Ctrl-C (SIGINT, SIGTERM, or the console's break on Windows),
    delivered on the message thread without ever blocking it.

    A reader thread of its own waits for input; on a terminal, input is read key by key without
    echo (Ctrl-C still interrupts). The terminal's settings and the signal handlers are restored
    by the destructor. Create and destroy on the message thread.
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
    };

    explicit TerminalInput (Listener& listener);
    ~TerminalInput() override;

    static bool isStandardOutputTerminal();

private:
    void run() override;
    void postKey (char key);
    void postInterrupt();
    void postInputEnded();

    class Platform;
    std::unique_ptr<Platform> platform;

    // Cleared by the destructor, so that keys posted just before it are dropped.
    std::shared_ptr<std::atomic<Listener*>> target;

    JUCE_DECLARE_NON_COPYABLE (TerminalInput)
};
