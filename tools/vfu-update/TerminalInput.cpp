#include "TerminalInput.h"

#if JUCE_WINDOWS
 #include <conio.h>
 #include <io.h>
 #include <windows.h>
#else
 #include "app/QuitDeadline.h"
 #include "app/QuitSignalPipe.h"

 #include <cerrno>
 #include <poll.h>
 #include <termios.h>
 #include <unistd.h>
#endif

#if JUCE_WINDOWS
//==============================================================================
/** The console's control handler raises a flag and wakes the reader, which looks at the
    keyboard in short steps: a console handle cannot be waited on together with an event
    without also waking on mouse and focus events. */
class TerminalInput::Platform
{
public:
    explicit Platform (juce::Thread& reader)
    {
        readerThread.store (&reader);

        // Installed once and never removed: a console closed after the input has gone must still
        // wait for the log's last line.
        static const bool installed = ::SetConsoleCtrlHandler (handleControl, TRUE) != 0;
        juce::ignoreUnused (installed);

        keyboard = ::_isatty (::_fileno (stdin)) != 0;
    }

    ~Platform()
    {
        readerThread.store (nullptr);
    }

    template <typename KeyFn, typename InterruptFn, typename EndFn, typename HangUpFn>
    void read (juce::Thread& reader, KeyFn&& onKey, InterruptFn&& onInterrupt, EndFn&& onEnd, HangUpFn&& onHangUp)
    {
        // Keys come only from a console; redirected input gives none, as an ended input would.
        if (! keyboard)
            onEnd();

        while (! reader.threadShouldExit())
        {
            if (interrupted.exchange (false))
                onInterrupt();

            if (sessionEnding.exchange (false))
                onHangUp (true);

            while (keyboard && ::_kbhit())
            {
                const auto key = ::_getch();
                onKey (key == '\r' ? '\n' : (char) key);
            }

            // A console is looked at for keys; otherwise only a control event or the end can wake it.
            reader.wait (keyboard ? 50 : -1);
        }
    }

    void wake() {}

    static void runEnded()
    {
        runHasEnded.signal();
    }

private:
    // Windows ends the process about five seconds after a console close (at once when the
    // handler returns); the clean stop gets nearly all of that.
    static constexpr int sessionEndWaitMs = 4500;

    static BOOL WINAPI handleControl (DWORD type)
    {
        const bool sessionEnds = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;

        if (! sessionEnds && type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
            return FALSE;

        auto* reader = readerThread.load();

        // Ctrl-C before or after the run: the default, which ends the process.
        if (! sessionEnds && reader == nullptr)
            return FALSE;

        (sessionEnds ? sessionEnding : interrupted).store (true);

        if (reader != nullptr)
            reader->notify();

        if (sessionEnds)
            runHasEnded.wait (sessionEndWaitMs);

        return TRUE;
    }

    static inline std::atomic<bool> interrupted { false }, sessionEnding { false };
    static inline std::atomic<juce::Thread*> readerThread { nullptr };
    static inline juce::WaitableEvent runHasEnded { true };
    bool keyboard = false;
};

bool TerminalInput::isStandardOutputTerminal()
{
    return ::_isatty (::_fileno (stdout)) != 0;
}

void TerminalInput::runEnded()
{
    Platform::runEnded();
}

#else
//==============================================================================
/** SIGINT, SIGTERM, SIGHUP and SIGCONT arrive as bytes in a pipe that the reader waits on
    together with standard input; the destructor wakes the reader through the same pipe.

    A terminal is read and put into key-by-key mode only while this process group is the
    terminal's foreground group: from the background, a read stops the process (SIGTTIN) and so
    does a change of modes (SIGTTOU). A job continued (SIGCONT, as fg and bg do) looks again. */
class TerminalInput::Platform
{
public:
    explicit Platform (juce::Thread&) : terminal (::isatty (STDIN_FILENO) != 0) {}

    ~Platform()
    {
        restoreTerminal();
    }

    template <typename KeyFn, typename InterruptFn, typename EndFn, typename HangUpFn>
    void read (juce::Thread& reader, KeyFn&& onKey, InterruptFn&& onInterrupt, EndFn&& onEnd, HangUpFn&& onHangUp)
    {
        if (! signals.isOpen())
            return;

        bool inputOpen = true;
        bool inputReadable = takeTerminal();

        // A terminal this process cannot control (none is its controlling one: setsid, or the
        // terminal hung up) never becomes its foreground: its keys belong to someone else.
        if (terminal && ! hasControllingTerminal())
        {
            inputOpen = false;
            onEnd();
        }

        while (! reader.threadShouldExit())
        {
            pollfd watched[2] = { { signals.readEnd(), POLLIN, 0 },
                                  { inputOpen && inputReadable ? STDIN_FILENO : -1, POLLIN, 0 } };

            if (::poll (watched, 2, -1) < 0)
            {
                if (errno == EINTR)
                    continue;

                return;
            }

            if ((watched[0].revents & POLLIN) != 0)
            {
                char bytes[16];
                const auto count = ::read (signals.readEnd(), bytes, sizeof (bytes));

                for (ssize_t i = 0; i < count; ++i)
                {
                    if (bytes[i] == interruptByte)
                        onInterrupt();
                    else if (bytes[i] == hangUpByte)
                        onHangUp (false);
                    else if (bytes[i] == continueByte)
                        inputReadable = takeTerminal();
                }
            }

            if ((watched[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0)
            {
                // Lost the terminal since (it hung up): no key will come.
                if (terminal && ! hasControllingTerminal())
                {
                    inputOpen = false;
                    onEnd();
                    continue;
                }

                // Moved to the background since: until it is continued, keys are not ours.
                if (! inForeground())
                {
                    inputReadable = false;
                    continue;
                }

                char keys[64];
                const auto count = ::read (STDIN_FILENO, keys, sizeof (keys));

                // End of input (a script's </dev/null) or an error: keys are over, signals are not.
                if (count <= 0)
                {
                    if (count == 0 || (errno != EINTR && errno != EAGAIN))
                    {
                        inputOpen = false;
                        onEnd();
                    }

                    continue;
                }

                for (ssize_t i = 0; i < count; ++i)
                    onKey (keys[i] == '\r' ? '\n' : keys[i]);
            }
        }
    }

    void wake()
    {
        signals.post (wakeByte);
    }

private:
    /** True when standard input is this process's controlling terminal, the only terminal whose
        foreground process group can include it. */
    static bool hasControllingTerminal()
    {
        return ::tcgetpgrp (STDIN_FILENO) >= 0;
    }

    /** True when standard input may be read and its modes changed: it is no terminal, or this
        process is in its foreground process group. A terminal without one, or one that is not the
        controlling terminal (tcgetpgrp fails), is somebody else's. */
    bool inForeground() const
    {
        return ! terminal || ::tcgetpgrp (STDIN_FILENO) == ::getpgrp();
    }

    /** Key by key and without echo while in the foreground; ISIG stays on, so Ctrl-C still
        raises SIGINT. True when standard input may be read now. Reader thread. */
    bool takeTerminal()
    {
        if (! terminal)
            return true;

        if (! inForeground())
            return false;

        if (! savedValid)
        {
            if (::tcgetattr (STDIN_FILENO, &savedTerminal) != 0)
                return true;

            savedValid = true;
        }

        auto raw = savedTerminal;
        raw.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;

        if (::tcsetattr (STDIN_FILENO, TCSANOW, &raw) == 0)
            changed.store (true);

        return true;
    }

    /** Puts the saved modes back, from the foreground only (the shell restores its own modes
        when it takes the terminal back). Message thread, also while the reader runs. */
    void restoreTerminal()
    {
        if (changed.exchange (false) && inForeground())
            ::tcsetattr (STDIN_FILENO, TCSANOW, &savedTerminal);
    }

    static constexpr char interruptByte = 'i', hangUpByte = 'h', continueByte = 'c', wakeByte = 'w';
    const bool terminal;
    QuitSignalPipe signals { interruptByte, hangUpByte, continueByte };
    termios savedTerminal {};   // written once by the reader before changed is first set
    bool savedValid = false;    // reader thread only
    std::atomic<bool> changed { false };

    // Destroyed first, before what it reads.
    QuitDeadline::LastAction restoreAtDeadline { [this] { restoreTerminal(); } };
};

bool TerminalInput::isStandardOutputTerminal()
{
    return ::isatty (STDOUT_FILENO) != 0;
}

void TerminalInput::runEnded() {}
#endif

//==============================================================================
TerminalInput::TerminalInput (Listener& listener)
    : juce::Thread ("TerminalInput"),
      target (std::make_shared<std::atomic<Listener*>> (&listener))
{
    platform = std::make_unique<Platform> (static_cast<juce::Thread&> (*this));
    startThread();
}

TerminalInput::~TerminalInput()
{
    target->store (nullptr);
    signalThreadShouldExit();
    platform->wake();
    notify();
    stopThread (2000);
    platform.reset();
}

void TerminalInput::run()
{
    platform->read (*this, [this] (char key) { postKey (key); }, [this] { postInterrupt(); }, [this] { postInputEnded(); },
                    [this] (bool processEndsSoon) { postHangUp (processEndsSoon); });
}

void TerminalInput::postKey (char key)
{
    juce::MessageManager::callAsync ([t = target, key]
    {
        if (auto* listener = t->load())
            listener->keyPressed (key);
    });
}

void TerminalInput::postInterrupt()
{
    juce::MessageManager::callAsync ([t = target]
    {
        if (auto* listener = t->load())
            listener->interruptRequested();
    });
}

void TerminalInput::postInputEnded()
{
    juce::MessageManager::callAsync ([t = target]
    {
        if (auto* listener = t->load())
            listener->inputEnded();
    });
}

void TerminalInput::postHangUp (bool processEndsSoon)
{
    juce::MessageManager::callAsync ([t = target, processEndsSoon]
    {
        if (auto* listener = t->load())
            listener->hungUp (processEndsSoon);
    });
}
