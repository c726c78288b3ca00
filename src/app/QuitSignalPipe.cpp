#include "QuitSignalPipe.h"

#if ! JUCE_WINDOWS
 #include <cerrno>
 #include <fcntl.h>
 #include <unistd.h>

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
    ::sigaction (SIGINT, &action, &previousInt);
    ::sigaction (SIGTERM, &action, &previousTerm);
    ::sigaction (SIGHUP, hangUpByte != 0 ? &action : nullptr, &previousHup);
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
