#include "firmware/FirmwareImage.h"
#include "firmware/SysexSender.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace
{
    /** Records the raw bytes of every message sent on it; the first send can be made to wait for
        nothing but a signal the test reads. Sender thread sends; the test thread reads. */
    class RecordingOutput final : public MidiOutputPort
    {
    public:
        void sendMessageNow (const juce::MidiMessage& message) override
        {
            {
                const std::lock_guard<std::mutex> guard (lock);
                const auto* raw = message.getRawData();
                messages.emplace_back (raw, raw + message.getRawDataSize());
            }

            sent.signal();
        }

        std::vector<std::vector<juce::uint8>> getMessages() const
        {
            const std::lock_guard<std::mutex> guard (lock);
            return messages;
        }

        juce::WaitableEvent sent;

    private:
        mutable std::mutex lock;
        std::vector<std::vector<juce::uint8>> messages;
    };

    juce::MemoryBlock image (juce::int64 size, bool tail)
    {
        juce::String error;
        auto bytes = FirmwareImage::make (6, "2.1.13", size, tail, error);
        EXPECT_TRUE (error.isEmpty()) << error;
        return bytes;
    }

    bool waitUntilFinished (const SysexSender& sender, int timeoutMs)
    {
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

        while (! sender.isFinished())
        {
            if (juce::Time::getMillisecondCounter() > end)
                return false;

            juce::Thread::sleep (1);
        }

        return true;
    }
}

TEST (SysexSenderPackets, theShippedImageGoesIn1404PacketsOf256AndALastOneOf316)
{
    const auto lengths = SysexSender::packetLengths (359740, 256, 0);
    ASSERT_EQ (lengths.size(), 1405);

    for (int i = 0; i < 1404; ++i)
        ASSERT_EQ (lengths[i], 256) << "packet " << i;

    EXPECT_EQ (lengths.getLast(), 316);
    EXPECT_EQ (std::accumulate (lengths.begin(), lengths.end(), juce::int64 { 0 }), 359740);
}

TEST (SysexSenderPackets, tailBytesAreNeverSentAndShortenTheLastPacket)
{
    const auto lengths = SysexSender::packetLengths (359740, 256, 2);
    ASSERT_EQ (lengths.size(), 1405);
    EXPECT_EQ (lengths.getLast(), 314);
    EXPECT_EQ (std::accumulate (lengths.begin(), lengths.end(), juce::int64 { 0 }), 359738);

    EXPECT_TRUE (SysexSender::packetLengths (2, 256, 2).isEmpty());
    EXPECT_TRUE (SysexSender::packetLengths (0, 256, 0).isEmpty());
}

TEST (SysexSenderPackets, aLastPacketShorterThanTwoPacketsCarriesTheWholeRest)
{
    EXPECT_EQ (SysexSender::packetLengths (300, 256, 0), juce::Array<int> (300));
    EXPECT_EQ (SysexSender::packetLengths (512, 256, 0), juce::Array<int> (256, 256));
    EXPECT_EQ (SysexSender::packetLengths (511, 256, 0), juce::Array<int> (511));
    EXPECT_EQ (SysexSender::packetLengths (100, 32, 0), juce::Array<int> (32, 32, 36));
}

TEST (SysexSenderPackets, thePauseIs0point384MillisecondsPerByteTruncatedWithTheWaitTimeAdded)
{
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (32, 0.082f), 12);
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (256, 0.082f), 98);
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (316, 0.082f), 121);
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (511, 0.082f), 196);
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (256, 0.02f), 98);
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (256, 5.5f), 103);
}

TEST (SysexSenderPackets, aWaitTimeBeyondTheRangeOfMillisecondsGivesTheLongestPauseNotANegativeOne)
{
    // A definitions document may say waitTime="1e30"; the loader passes it on as the largest float.
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (256, std::numeric_limits<float>::max()), std::numeric_limits<int>::max());
    EXPECT_EQ (SysexSender::pauseMillisecondsFor (256, 3.0e9f), std::numeric_limits<int>::max());
}

TEST (SysexSender, eachPacketReachesTheOutputAsExactlyItsSliceOfTheData)
{
    const auto data = image (700, false);
    RecordingOutput output;
    SysexSender sender (output, data, 0.082f, 256, 0);
    sender.startThread();

    ASSERT_TRUE (waitUntilFinished (sender, 5000));
    EXPECT_EQ (sender.getBytesSent(), 700u);

    const auto messages = output.getMessages();
    ASSERT_EQ (messages.size(), 2u);
    EXPECT_EQ (messages[0].size(), 256u);
    EXPECT_EQ (messages[1].size(), 444u);

    // The second packet begins inside the SysEx message, with a data byte.
    const auto* bytes = static_cast<const juce::uint8*> (data.getData());
    EXPECT_EQ (messages[0].front(), 0xf0);
    EXPECT_LT (messages[1].front(), 0x80);
    EXPECT_EQ (messages[1].back(), 0xf7);
    EXPECT_EQ (messages[0], std::vector<juce::uint8> (bytes, bytes + 256));
    EXPECT_EQ (messages[1], std::vector<juce::uint8> (bytes + 256, bytes + 700));
}

TEST (SysexSender, theTailBytesStayBehindAndTheMessageEndsTheTransfer)
{
    const auto data = image (302, true);
    RecordingOutput output;
    SysexSender sender (output, data, 0.5f, 256, 2);
    sender.startThread();

    ASSERT_TRUE (waitUntilFinished (sender, 5000));
    EXPECT_EQ (sender.getBytesSent(), 300u);

    const auto messages = output.getMessages();
    ASSERT_EQ (messages.size(), 1u);
    ASSERT_EQ (messages[0].size(), 300u);
    EXPECT_EQ (messages[0].back(), 0xf7);
}

TEST (SysexSender, dataNoLongerThanTheTailFinishesAtOnceWithoutSending)
{
    juce::MemoryBlock data (2, true);
    RecordingOutput output;
    SysexSender sender (output, data, 0.5f, 256, 2);
    sender.startThread();

    ASSERT_TRUE (waitUntilFinished (sender, 5000));
    EXPECT_EQ (sender.getBytesSent(), 0u);
    EXPECT_TRUE (output.getMessages().empty());
}

TEST (SysexSender, aStopDuringAPauseCountsTheCurrentPacketAndEndsPromptly)
{
    const auto data = image (2000, false);
    RecordingOutput output;
    SysexSender sender (output, data, 0.082f, 256, 0);
    sender.startThread();

    ASSERT_TRUE (output.sent.wait (5000));
    const auto stopAt = juce::Time::getMillisecondCounterHiRes();
    sender.signalThreadShouldExit(); // a bare request, without waking the thread

    ASSERT_TRUE (waitUntilFinished (sender, 5000));
    const auto stoppedAfter = juce::Time::getMillisecondCounterHiRes() - stopAt;
    EXPECT_TRUE (sender.stopSending (1000));

    // The pause after a 256-byte packet is 98 ms; the stop cuts it short.
    EXPECT_LT (stoppedAfter, 80.0);
    EXPECT_EQ (sender.getBytesSent(), 256u);
    EXPECT_EQ (output.getMessages().size(), 1u);
}

TEST (SysexSender, destroyingARunningSenderStopsItWithinAPacket)
{
    const auto data = image (100000, false);
    RecordingOutput output;
    auto sender = std::make_unique<SysexSender> (output, data, 0.082f, 256, 0);
    sender->startThread();
    ASSERT_TRUE (output.sent.wait (5000));

    const auto start = juce::Time::getMillisecondCounterHiRes();
    sender.reset();
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 80.0);
    EXPECT_LE (output.getMessages().size(), 2u);
}
