#pragma once

#include <juce_core/juce_core.h>

#if ! JUCE_WINDOWS
 #include <atomic>
 #include <csignal>

/** SIGINT and SIGTERM as bytes in a non-blocking pipe: the handler only writes signalByte to
    the pipe, so whoever watches readEnd() deals with the signal in ordinary code, and post()
    lets that code wake the same watcher. With a hangUpByte, SIGHUP arrives as that byte, and with
    a continueByte, SIGCONT (the job was continued, perhaps moved to the foreground or the
    background). While it exists it owns these signals; the handlers and the pipe it replaced
    are put back when it is destroyed. SIGINT, SIGTERM and SIGHUP that the process was started with
    ignored (nohup, a script's & job) stay ignored: no byte ever comes for them. */
class QuitSignalPipe final
{
public:
    explicit QuitSignalPipe (char signalByte, char hangUpByte = 0, char continueByte = 0);
    ~QuitSignalPipe();

    /** False when no pipe could be made: then no handler is installed either. */
    bool isOpen() const noexcept { return fds[0] >= 0; }
    int readEnd() const noexcept { return fds[0]; }

    /** Writes one byte to the pipe; safe in a signal handler. */
    void post (char byte) const noexcept;

private:
    static void handleSignal (int);

    static inline std::atomic<int> writeEnd { -1 };
    static inline std::atomic<char> byteForSignals { 0 }, byteForHangUp { 0 }, byteForContinue { 0 };

    int fds[2] { -1, -1 };
    int previousWriteEnd = -1;
    char previousByte = 0, previousHangUpByte = 0, previousContinueByte = 0;
    struct sigaction previousInt {}, previousTerm {}, previousHup {}, previousCont {};

    JUCE_DECLARE_NON_COPYABLE (QuitSignalPipe)
};
#endif
