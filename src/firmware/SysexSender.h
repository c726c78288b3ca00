#pragma once

#include "../midi/MidiPorts.h"

#include <juce_core/juce_core.h>

#include <atomic>

/** Sends a firmware image on a MIDI output in paced packets, on its own thread "SysexSender".

    The engine creates one per transfer, starts it, reads bytesSent / finished while it runs
    and stops it when the transfer ends, is cancelled or loses its connection. The output and
    the data are not owned and must outlive the thread.

    Stopping: use stopSending (4000) rather than stopThread(), which ends a thread that outlives
    its timeout by force, possibly inside the output's send. Whatever stopSending returns, destroy
    the sender before the output and the data: the destructor waits until the thread has really
    ended (5000 ms, then with a log line for as long as it takes), so both stay alive while it runs.
    A stop request cuts the current pause short; that packet is still counted.

    A packet the output refuses ends the run at once: it is not counted, nothing after it is
    sent, and getFailure() says why. The sender logs nothing itself; the engine, which knows the
    port, writes the one line about it.
*/
class SysexSender final : public juce::Thread
{
public:
    SysexSender (MidiOutputPort& output, const juce::MemoryBlock& data, float waitTime, int packetSize, int tailBytesToSkip);
    ~SysexSender() override;

    void run() override;

    /** Asks the thread to stop and waits up to timeoutMs for it to end; never kills it.
        True when it has ended. Any thread but the sender's own. */
    bool stopSending (int timeoutMs);

    /** Bytes sent and paused for so far. Any thread. */
    juce::uint32 getBytesSent() const noexcept { return bytesSent.load(); }

    /** True once the run has ended, for whatever reason. Any thread. */
    bool isFinished() const noexcept { return finished.load(); }

    /** Why the output refused a packet, which ended the run; empty when none was refused. Read it
        once isFinished() is true (any thread) or after the thread has ended. */
    juce::String getFailure() const;

    /** The length of the next packet with `remaining` bytes still to send: packetSize, or all
        that remains when that is less than two packets. The send loop cuts the image with it. */
    static juce::int64 nextPacketLength (juce::int64 remaining, int packetSize);

    /** The pause after a packet, in milliseconds: trunc(trunc(length * 0.384f) + waitTime). */
    static int pauseMillisecondsFor (int length, float waitTime);

private:
    bool sendPacket (size_t offset, int length);

    MidiOutputPort& output;
    const juce::MemoryBlock& data;
    const float waitTime;
    std::atomic<bool> finished { false };
    const int packetSize;
    std::atomic<juce::uint32> bytesSent { 0 };
    const int tailBytesToSkip;
    juce::String failure; // written by the sender thread before `finished`, read after it

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SysexSender)
};
