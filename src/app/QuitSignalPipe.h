#pragma once

#include <juce_core/juce_core.h>

#if ! JUCE_WINDOWS
 #include <atomic>
 #include <csignal>

/** SIGINT and SIGTERM as bytes in a non-blocking pipe: the handler only writes signalByte to
    the pipe, so whoever watches readEnd() deals with the signal in ordinary code, and post()
    lets that code wake the same watcher. While it exists it owns the two signals; the handlers
    and the pipe it replaced are put back when it is destroyed. */
class QuitSignalPipe final
{
public:
    explicit QuitSignalPipe (char signalByte);
    ~QuitSignalPipe();

    /** False when no pipe could be made: then no handler is installed either. */
    bool isOpen() const noexcept { return fds[0] >= 0; }
    int readEnd() const noexcept { return fds[0]; }

    /** Writes one byte to the pipe; safe in a signal handler. */
    void post (char byte) const noexcept;

private:
    static void handleSignal (int);

    static inline std::atomic<int> writeEnd { -1 };
    static inline std::atomic<char> byteForSignals { 0 };

    int fds[2] { -1, -1 };
    int previousWriteEnd = -1;
    char previousByte = 0;
    struct sigaction previousInt {}, previousTerm {};

    JUCE_DECLARE_NON_COPYABLE (QuitSignalPipe)
};
#endif
