#include "firmware/FirmwareImage.h"
#include "firmware/SysexSender.h"
#include "midi/VirtualMidiPorts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace
{
    /** Records the raw bytes of every message sent on it; the first send can be made to wait for
        nothing but a signal the test reads. Sender thread sends; the test thread reads. */
    class RecordingOutput final : public MidiOutputPort
    {
    public:
        juce::Result sendMessageNow (const juce::MidiMessage& message) override
        {
            {
                const std::lock_guard<std::mutex> guard (lock);
                const auto* raw = message.getRawData();
                messages.emplace_back (raw, raw + message.getRawDataSize());
            }

            sent.signal();
            return juce::Result::ok();
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

    /** The receiving side of the virtual bus: every packet as it arrived, with the time it arrived. */
    class RecordingDevice final : public VirtualMidiPorts::Device
    {
    public:
        struct Packet
        {
            std::vector<juce::uint8> bytes;
            double arrivedAt;
        };

        void receivedFromUpdater (const juce::MidiMessage& message) override
        {
            const auto arrivedAt = juce::Time::getMillisecondCounterHiRes();
            const auto* raw = message.getRawData();
            const std::lock_guard<std::mutex> guard (lock);
            packets.push_back ({ std::vector<juce::uint8> (raw, raw + message.getRawDataSize()), arrivedAt });
        }

        std::vector<Packet> getPackets() const
        {
            const std::lock_guard<std::mutex> guard (lock);
            return packets;
        }

    private:
        mutable std::mutex lock;
        std::vector<Packet> packets;
    };

    std::vector<int> lengthsOf (const std::vector<RecordingDevice::Packet>& packets)
    {
        std::vector<int> lengths;

        for (auto& packet : packets)
            lengths.push_back ((int) packet.bytes.size());

        return lengths;
    }

    /** Each packet is followed by its own pause (0.384 ms a byte, truncated, plus the wait time)
        before the next one arrives. Packets reach the device on the sending thread, so no gap is
        ever shorter; how much longer one is depends on the machine's load, so the pacing's cost
        is the benchmark's to show, not a test's. */
    void expectPausesBetween (const std::vector<RecordingDevice::Packet>& packets, float waitTime)
    {
        for (size_t i = 1; i < packets.size(); ++i)
        {
            const auto length = (int) packets[i - 1].bytes.size();
            const auto pause = (double) (int) ((float) (int) ((float) length * 0.384f) + waitTime);
            const auto gap = packets[i].arrivedAt - packets[i - 1].arrivedAt;
            EXPECT_GE (gap, pause) << "after packet " << i - 1 << " of " << length << " bytes";
        }
    }

    /** A simulated instrument's port pair on a virtual bus and the real sender on its output. */
    struct BusTransfer
    {
        BusTransfer()
        {
            plug = bus.plugIn ("Quorrel", "Quorrel", &device);
            output = bus.openOutput (bus.getOutputNames().indexOf ("Quorrel"));
        }

        ~BusTransfer()
        {
            sender.reset();
            output.reset();
            bus.pullOut (plug);
        }

        /** Sends the data and waits for the sender to finish; false when it does not within 10 s. */
        bool send (const juce::MemoryBlock& bytes, int packetSize, int tailBytesToSkip, float waitTime = 0.082f)
        {
            data.replaceAll (bytes.getData(), bytes.getSize()); // assigning an empty block would memcpy from null

            if (output == nullptr)
                return false;

            sender = std::make_unique<SysexSender> (*output, data, waitTime, packetSize, tailBytesToSkip);
            sender->startThread();

            for (const auto end = juce::Time::getMillisecondCounterHiRes() + 10000.0; ! sender->isFinished();)
            {
                if (juce::Time::getMillisecondCounterHiRes() > end)
                    return false;

                juce::Thread::sleep (1);
            }

            finishedAt = juce::Time::getMillisecondCounterHiRes();
            return true;
        }

        VirtualMidiPorts bus;
        RecordingDevice device;
        VirtualMidiPorts::PlugId plug = 0;
        std::unique_ptr<MidiOutputPort> output;
        juce::MemoryBlock data;
        std::unique_ptr<SysexSender> sender;
        double finishedAt = 0.0;
    };

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

TEST (SysexSenderOnTheBus, packetsArriveWithThePauseOfEachOneBeforeTheNext)
{
    // The shape of the shipped image (1,404 packets of 256 bytes, then 316) in a few packets.
    BusTransfer transfer;
    const auto data = image (6 * 256 + 316, false);
    ASSERT_TRUE (transfer.send (data, 256, 0));

    const auto packets = transfer.device.getPackets();
    EXPECT_EQ (lengthsOf (packets), std::vector<int> ({ 256, 256, 256, 256, 256, 256, 316 }));
    EXPECT_EQ (transfer.sender->getBytesSent(), 1852u);
    expectPausesBetween (packets, 0.082f);

    // The last packet is counted only after its own pause (121 ms for 316 bytes).
    EXPECT_GE (transfer.finishedAt - packets.back().arrivedAt, 121.0);
}

TEST (SysexSenderOnTheBus, theLastPacketCarriesTheRestAndTheTailIsNeverSent)
{
    {
        BusTransfer transfer;
        ASSERT_TRUE (transfer.send (image (300, false), 256, 0));
        EXPECT_EQ (lengthsOf (transfer.device.getPackets()), std::vector<int> ({ 300 }));
    }
    {
        // 512 is not less than two packets, so the first packet is an ordinary one.
        BusTransfer transfer;
        ASSERT_TRUE (transfer.send (image (512, false), 256, 0));
        EXPECT_EQ (lengthsOf (transfer.device.getPackets()), std::vector<int> ({ 256, 256 }));
    }
    {
        BusTransfer transfer;
        ASSERT_TRUE (transfer.send (image (100, false), 32, 0, 5.5f));
        const auto packets = transfer.device.getPackets();
        EXPECT_EQ (lengthsOf (packets), std::vector<int> ({ 32, 32, 36 }));
        expectPausesBetween (packets, 5.5f);
    }
    {
        // Two tail bytes after the F7 stay behind: the last packet carries 314 of 316 bytes.
        BusTransfer transfer;
        const auto data = image (256 + 316, true);
        ASSERT_TRUE (transfer.send (data, 256, 2));
        const auto packets = transfer.device.getPackets();
        EXPECT_EQ (lengthsOf (packets), std::vector<int> ({ 256, 314 }));
        EXPECT_EQ (packets.back().bytes.back(), 0xf7);
        EXPECT_EQ (transfer.sender->getBytesSent(), 570u);
    }
    for (auto size : { 0, 2 })
    {
        BusTransfer transfer;
        ASSERT_TRUE (transfer.send (juce::MemoryBlock ((size_t) size, true), 256, 2));
        EXPECT_TRUE (transfer.device.getPackets().empty());
        EXPECT_EQ (transfer.sender->getBytesSent(), 0u);
    }
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

TEST (SysexSenderPackets, theShippedImageGoesOutIn1405PacketsOver137point7SecondsOfPacing)
{
    // 359,740 bytes in packets of 256: the last 572 bytes are less than two packets, so one more
    // of 256 and then the 316 that remain.
    std::vector<juce::int64> lengths;

    for (juce::int64 remaining = 359740; remaining > 0;)
    {
        const auto length = SysexSender::nextPacketLength (remaining, 256);
        ASSERT_GT (length, 0);
        lengths.push_back (length);
        remaining -= length;
    }

    ASSERT_EQ (lengths.size(), 1405u);
    EXPECT_EQ (std::count (lengths.begin(), lengths.end() - 1, (juce::int64) 256), 1404);
    EXPECT_EQ (lengths.back(), 316);

    int pacingMs = 0;
    for (auto length : lengths)
        pacingMs += SysexSender::pauseMillisecondsFor ((int) length, 0.082f);
    EXPECT_EQ (pacingMs, 1404 * 98 + 121);
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
    // A pause of ten minutes after the first packet: only the stop can end it within the wait below.
    const auto data = image (2000, false);
    RecordingOutput output;
    SysexSender sender (output, data, 600000.0f, 256, 0);
    sender.startThread();

    ASSERT_TRUE (output.sent.wait (30000));
    sender.signalThreadShouldExit(); // a bare request, without waking the thread

    ASSERT_TRUE (waitUntilFinished (sender, 30000));
    EXPECT_TRUE (sender.stopSending (30000));
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
