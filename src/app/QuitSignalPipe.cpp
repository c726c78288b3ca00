#include "QuitSignalPipe.h"

#if ! JUCE_WINDOWS
 #include <fcntl.h>
 #include <unistd.h>

QuitSignalPipe::QuitSignalPipe (char signalByte)
{
    if (::pipe (fds) != 0)
    {
        fds[0] = fds[1] = -1;
        return;
    }

    for (auto fd : fds)
        ::fcntl (fd, F_SETFL, ::fcntl (fd, F_GETFL) | O_NONBLOCK);

    previousByte = byteForSignals.exchange (signalByte);
    previousWriteEnd = writeEnd.exchange (fds[1]);

    struct sigaction action {};
    action.sa_handler = handleSignal;
    sigemptyset (&action.sa_mask);
    ::sigaction (SIGINT, &action, &previousInt);
    ::sigaction (SIGTERM, &action, &previousTerm);
}

QuitSignalPipe::~QuitSignalPipe()
{
    if (fds[0] < 0)
        return;

    ::sigaction (SIGINT, &previousInt, nullptr);
    ::sigaction (SIGTERM, &previousTerm, nullptr);
    writeEnd.store (previousWriteEnd);
    byteForSignals.store (previousByte);
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

void QuitSignalPipe::handleSignal (int)
{
    const auto fd = writeEnd.load();
    const char byte = byteForSignals.load();

    if (fd >= 0)
    {
        [[maybe_unused]] auto written = ::write (fd, &byte, 1);
    }
}
#endif
