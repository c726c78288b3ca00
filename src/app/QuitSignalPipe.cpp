#include "QuitSignalPipe.h"

#if ! JUCE_WINDOWS
 #include <algorithm>
 #include <cerrno>
 #include <fcntl.h>
 #include <unistd.h>
 #include <vector>

namespace
{
    /** The quit signals that the process was started with ignored (nohup ignores SIGHUP, a shell
        ignores SIGINT and SIGQUIT for a job it starts with & from a script). Read when the program
        is loaded, before main: the framework's message loop puts a SIGINT handler of its own in
        place when it starts, which would hide that SIGINT was ignored. */
    struct InheritedDispositions
    {
        InheritedDispositions()
        {
            for (auto signalNumber : { SIGINT, SIGTERM, SIGHUP })
            {
                struct sigaction current {};

                if (::sigaction (signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
                    ignored.push_back (signalNumber);
            }
        }

        bool wasIgnored (int signalNumber) const
        {
            return std::find (ignored.begin(), ignored.end(), signalNumber) != ignored.end();
        }

        std::vector<int> ignored;
    };

    const InheritedDispositions inherited;

    /** Installs the handler for the signal, or keeps it ignored when the process was started so:
        whoever started it asked that this signal not end it. */
    void take (int signalNumber, const struct sigaction* handler, struct sigaction* previous)
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset (&ignore.sa_mask);

        if (handler != nullptr && inherited.wasIgnored (signalNumber))
            handler = &ignore;

        ::sigaction (signalNumber, handler, previous);
    }
}

QuitSignalPipe::QuitSignalPipe (char signalByte, char hangUpByte, char continueByte)
{
    if (::pipe (fds) != 0)
    {
        fds[0] = fds[1] = -1;
        return;
    }

    for (auto fd : fds)
        ::fcntl (fd, F_SETFL, ::fcntl (fd, F_GETFL) | O_NONBLOCK);

    previousByte = byteForSignals.exchange (signalByte);
    previousHangUpByte = byteForHangUp.exchange (hangUpByte);
    previousContinueByte = byteForContinue.exchange (continueByte);
    previousWriteEnd = writeEnd.exchange (fds[1]);

    struct sigaction action {};
    action.sa_handler = handleSignal;
    sigemptyset (&action.sa_mask);
    take (SIGINT, &action, &previousInt);
    take (SIGTERM, &action, &previousTerm);
    take (SIGHUP, hangUpByte != 0 ? &action : nullptr, &previousHup);
    ::sigaction (SIGCONT, continueByte != 0 ? &action : nullptr, &previousCont);
}

QuitSignalPipe::~QuitSignalPipe()
{
    if (fds[0] < 0)
        return;

    ::sigaction (SIGINT, &previousInt, nullptr);
    ::sigaction (SIGTERM, &previousTerm, nullptr);
    ::sigaction (SIGHUP, &previousHup, nullptr);
    ::sigaction (SIGCONT, &previousCont, nullptr);
    writeEnd.store (previousWriteEnd);
    byteForSignals.store (previousByte);
    byteForHangUp.store (previousHangUpByte);
    byteForContinue.store (previousContinueByte);
    ::close (fds[0]);
    ::close (fds[1]);
}

void QuitSignalPipe::post (char byte) const noexcept
{
    if (fds[1] >= 0)
    {
        [[maybe_unused]] auto written = ::write (fds[1], &byte, 1);
    }
}

void QuitSignalPipe::handleSignal (int signalNumber)
{
    const auto fd = writeEnd.load();
    const char byte = signalNumber == SIGHUP  ? byteForHangUp.load()
                    : signalNumber == SIGCONT ? byteForContinue.load()
                                              : byteForSignals.load();

    if (fd >= 0 && byte != 0)
    {
        // The interrupted code may be about to look at errno.
        const auto savedErrno = errno;
        [[maybe_unused]] auto written = ::write (fd, &byte, 1);
        errno = savedErrno;
    }
}
#endif
