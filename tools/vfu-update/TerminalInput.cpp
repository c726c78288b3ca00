#include "TerminalInput.h"

#if JUCE_WINDOWS
 #include <conio.h>
 #include <io.h>
 #include <windows.h>
#else
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
        ::SetConsoleCtrlHandler (handleControl, TRUE);
        keyboard = ::_isatty (::_fileno (stdin)) != 0;
    }

    ~Platform()
    {
        ::SetConsoleCtrlHandler (handleControl, FALSE);
        readerThread.store (nullptr);
    }

    template <typename KeyFn, typename InterruptFn, typename EndFn>
    void read (juce::Thread& reader, KeyFn&& onKey, InterruptFn&& onInterrupt, EndFn&& onEnd)
    {
        // Keys come only from a console; redirected input gives none, as an ended input would.
        if (! keyboard)
            onEnd();

        while (! reader.threadShouldExit())
        {
            if (interrupted.exchange (false))
                onInterrupt();

            while (keyboard && ::_kbhit())
            {
                const auto key = ::_getch();
                onKey (key == '\r' ? '\n' : (char) key);
            }

            // A console is looked at for keys; otherwise only Ctrl-C or the end can wake it.
            reader.wait (keyboard ? 50 : -1);
        }
    }

    void wake() {}

private:
    static BOOL WINAPI handleControl (DWORD type)
    {
        if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
            return FALSE;

        interrupted.store (true);

        if (auto* reader = readerThread.load())
            reader->notify();

        return TRUE;
    }

    static inline std::atomic<bool> interrupted { false };
    static inline std::atomic<juce::Thread*> readerThread { nullptr };
    bool keyboard = false;
};

bool TerminalInput::isStandardOutputTerminal()
{
    return ::_isatty (::_fileno (stdout)) != 0;
}

#else
//==============================================================================
/** SIGINT and SIGTERM arrive as bytes in a pipe that the reader waits on together with standard
    input; the destructor wakes the reader through the same pipe. */
class TerminalInput::Platform
{
public:
    explicit Platform (juce::Thread&)
    {
        // Key by key and without echo; ISIG stays on, so Ctrl-C still raises SIGINT.
        if (::isatty (STDIN_FILENO) && ::tcgetattr (STDIN_FILENO, &savedTerminal) == 0)
        {
            auto raw = savedTerminal;
            raw.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            terminalChanged = ::tcsetattr (STDIN_FILENO, TCSANOW, &raw) == 0;
        }
    }

    ~Platform()
    {
        if (terminalChanged)
            ::tcsetattr (STDIN_FILENO, TCSANOW, &savedTerminal);
    }

    template <typename KeyFn, typename InterruptFn, typename EndFn>
    void read (juce::Thread& reader, KeyFn&& onKey, InterruptFn&& onInterrupt, EndFn&& onEnd)
    {
        if (! signals.isOpen())
            return;

        bool inputOpen = true;

        while (! reader.threadShouldExit())
        {
            pollfd watched[2] = { { signals.readEnd(), POLLIN, 0 }, { inputOpen ? STDIN_FILENO : -1, POLLIN, 0 } };

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
                    if (bytes[i] == interruptByte)
                        onInterrupt();
            }

            if ((watched[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0)
            {
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
    static constexpr char interruptByte = 'i', wakeByte = 'w';
    QuitSignalPipe signals { interruptByte };
    termios savedTerminal {};
    bool terminalChanged = false;
};

bool TerminalInput::isStandardOutputTerminal()
{
    return ::isatty (STDOUT_FILENO) != 0;
}
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
    platform->read (*this, [this] (char key) { postKey (key); }, [this] { postInterrupt(); }, [this] { postInputEnded(); });
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
