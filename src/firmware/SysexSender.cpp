#include "SysexSender.h"

#include "../base/AppLog.h"

namespace
{
    // The pause is cut into steps this short so that a stop request ends it promptly.
    constexpr double pauseStepMilliseconds = 5.0;
}

SysexSender::SysexSender (MidiOutputPort& outputToUse, const juce::MemoryBlock& dataToSend, float waitTimeToAdd,
                          int packetSizeToUse, int tailBytesNotSent)
    : juce::Thread ("SysexSender"),
      output (outputToUse),
      data (dataToSend),
      waitTime (waitTimeToAdd),
      packetSize (juce::jmax (1, packetSizeToUse)),
      tailBytesToSkip (juce::jmax (0, tailBytesNotSent))
{
}

SysexSender::~SysexSender()
{
    // Never let the framework end the thread by force: it may be inside the output's send, and
    // the output and data it reads belong to the caller, who frees them after this returns.
    if (! stopSending (5000))
    {
        logLine ("SysexSender still running after 5000 ms, waiting for it to end");
        waitForThreadToExit (-1);
    }
}

bool SysexSender::stopSending (int timeoutMs)
{
    signalThreadShouldExit();
    notify();
    return waitForThreadToExit (timeoutMs);
}

juce::int64 SysexSender::nextPacketLength (juce::int64 remaining, int packetSizeToUse)
{
    const auto size = (juce::int64) juce::jmax (1, packetSizeToUse);
    return remaining < 2 * size ? remaining : size;
}

int SysexSender::pauseMillisecondsFor (int length, float waitTime)
{
    // Single precision on purpose: the pacing table of the instruments was made that way.
    const auto lengthPart = (float) (int) ((float) length * 0.384f);
    const auto pause = lengthPart + waitTime;

    // The wait time comes from a definitions document: a value past the range of int must give
    // the longest pause, not an undefined conversion (a negative pause would drop the pacing).
    if (! (pause > 0.0f))
        return 0;

    if (pause >= (float) std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();

    return (int) pause;
}

juce::String SysexSender::getFailure() const
{
    return finished.load() ? failure : juce::String();
}

void SysexSender::run()
{
    finished = false;
    bytesSent = 0;
    failure = {};

    size_t offset = 0;
    auto remaining = (juce::int64) data.getSize() - tailBytesToSkip;

    while (remaining > 0)
    {
        const auto length = nextPacketLength (remaining, packetSize);
        remaining -= length;

        if (sendPacket (offset, (int) length))
            break;

        offset += (size_t) packetSize;
    }

    finished = true;
}

bool SysexSender::sendPacket (size_t offset, int length)
{
    // The constructor from raw bytes copies them as they are; a packet may begin or end inside a SysEx message.
    const auto sent = output.sendMessageNow (juce::MidiMessage (static_cast<const char*> (data.getData()) + offset, length, 0.0));

    if (sent.failed())
    {
        failure = sent.getErrorMessage().isNotEmpty() ? sent.getErrorMessage() : juce::String ("refused");
        return true;
    }

    const auto end = juce::Time::getMillisecondCounterHiRes() + pauseMillisecondsFor (length, waitTime);

    for (auto now = juce::Time::getMillisecondCounterHiRes(); now < end && ! threadShouldExit();
         now = juce::Time::getMillisecondCounterHiRes())
        wait ((int) std::ceil (juce::jmin (pauseStepMilliseconds, end - now)));

    bytesSent += (juce::uint32) length;
    return threadShouldExit();
}
