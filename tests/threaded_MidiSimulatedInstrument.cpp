#include "simulator/SimFirmwareImage.h"
#include "support/EngineTestSupport.h"
#include "support/MidiTestRig.h"

#include <gtest/gtest.h>

#include <numeric>

namespace
{
    using Mode = SimulatedInstrument::Mode;

    /** Collects what reaches the updater's side of the bus. */
    struct Listener final : public MidiPortReceiver
    {
        void handleIncomingMidiMessage (const juce::String&, const juce::MidiMessage& m) override
        {
            const juce::ScopedLock sl (lock);
            received.emplace_back (m.getRawData(), m.getRawData() + m.getRawDataSize());
        }

        bool hasReceived()
        {
            const juce::ScopedLock sl (lock);
            return ! received.empty();
        }

        std::vector<std::vector<juce::uint8>> take()
        {
            const juce::ScopedLock sl (lock);
            return std::exchange (received, {});
        }

        juce::CriticalSection lock;
        std::vector<std::vector<juce::uint8>> received;
    };

    struct Instrument : public ::testing::Test, public MidiTestRig
    {
        void send (const std::vector<juce::uint8>& bytes)
        {
            if (auto out = ports->openOutput (ports->getOutputNames().indexOf (name)))
            {
                EXPECT_TRUE (out->sendMessageNow (juce::MidiMessage (bytes.data(), (int) bytes.size())).wasOk());
            }
        }

        /** Announces the image and sends it as raw slices of packetSize bytes, as the engine and
            the firmware sender do. */
        void sendInPackets (const juce::MemoryBlock& data, int packetSize, int skipTail = 0)
        {
            auto out = ports->openOutput (ports->getOutputNames().indexOf (name));
            ASSERT_NE (out, nullptr);
            out->announceImage (data.getSize());
            const auto* bytes = static_cast<const juce::uint8*> (data.getData());
            const auto size = (int) data.getSize() - skipTail;

            for (int offset = 0; offset < size; offset += packetSize)
                (void) out->sendMessageNow (juce::MidiMessage (bytes + offset, juce::jmin (packetSize, size - offset))); // refused once a cable is pulled
        }

        std::vector<std::vector<juce::uint8>> ask (const std::vector<juce::uint8>& request)
        {
            Listener listener;
            auto in = ports->openInput (ports->getInputNames().indexOf (name), listener);
            EXPECT_NE (in, nullptr);
            if (in == nullptr) return {};
            in->start();
            send (request);

            // A reply comes within a few milliseconds; a busy machine gets a second. A request
            // that should stay unanswered costs that second.
            const auto end = juce::Time::getMillisecondCounter() + 1000;

            while (! listener.hasReceived() && juce::Time::getMillisecondCounter() < end)
                juce::Thread::sleep (2);

            juce::Thread::sleep (20);
            ports->waitUntilDelivered();
            in->stop();
            return listener.take();
        }

        juce::String name { "Quorrel" };
    };

    const auto identityRequest = midiBytes ({ 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 });
    const auto quorrelErase = midiBytes ({ 0xf0, 0x04, 0x06, 0x11, 0xf7 });
}

TEST_F (Instrument, eachFamilyShowsItsBootloaderInItsOwnWay)
{
    struct Case { int family; std::vector<juce::uint8> reply; };
    const Case cases[] = {
        { 6,  midiBytes ({ 0xf0, 0x7e, 0x7f, 0x06, 0x02, 0x04, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x48, 0x01, 0xf7 }) },
        { 8,  midiBytes ({ 0xf0, 0x7e, 0x7f, 0x06, 0x02, 0x04, 0x00, 0x0f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xf7 }) },
        { 11, midiBytes ({ 0xf0, 0x7e, 0x7f, 0x06, 0x02, 0x04, 0x00, 0x0b, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xf7 }) },
    };

    for (auto& c : cases)
    {
        auto settings = instrument (c.family, "1.2.3");
        settings.mode = Mode::bootloader;
        SimulatedInstrument device (*ports, settings);
        name = SimulatedInstrument::instrumentNameFor (c.family);
        EXPECT_EQ (ask (identityRequest), std::vector<std::vector<juce::uint8>> { c.reply }) << c.family;
    }
}

TEST_F (Instrument, theNormalFirmwareAnswersWithItsVersionAndHalvaneAnswersTheAlternativeInquiry)
{
    SimulatedInstrument quorrel (*ports, instrument (6, "2.1.13"));
    EXPECT_EQ (ask (identityRequest), std::vector<std::vector<juce::uint8>> {
        midiBytes ({ 0xf0, 0x7e, 0x7f, 0x06, 0x02, 0x04, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x41, 0x10, 0xf7 }) });

    auto settings = instrument (12, "1.1.0");
    settings.panelStatusByte = 0x03;
    SimulatedInstrument halvane (*ports, settings);
    name = "Halvane XV";
    EXPECT_EQ (ask (midiBytes ({ 0xf0, 0x04, 0x0c, 0x16, 0x01, 0xf7 })).size(), 1u);
    EXPECT_EQ (ask (midiBytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf7 })),
               std::vector<std::vector<juce::uint8>> { midiBytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x01, 0x03, 0xf7 }) });

    // The panel update command readies the panel for a new image (erased, 01) and says so.
    EXPECT_EQ (ask (midiBytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x00, 0xf7 })),
               std::vector<std::vector<juce::uint8>> { midiBytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x01, 0x01, 0xf7 }) });
    EXPECT_EQ (halvane.getPanelStatusByte(), 0x01);
    EXPECT_EQ (halvane.countReceived (midiBytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x00, 0xf7 })), 1);
}

TEST_F (Instrument, eraseThenAnImageSplitAcrossPacketsBringsItBackWithTheNewVersion)
{
    auto settings = instrument (6, "2.1.12");
    settings.mode = Mode::bootloader;
    SimulatedInstrument quorrel (*ports, settings);

    send (quorrelErase);
    EXPECT_TRUE (ports->getInputNames().isEmpty()) << "ports vanish during the erase";
    ASSERT_TRUE (quorrel.waitForMode (Mode::bootloader, 1000));
    ASSERT_TRUE (pumpUntil ([&] { return ports->getInputNames() == juce::StringArray ("Quorrel"); }, 2000));
    EXPECT_TRUE (quorrel.isErased());

    // 1,000 payload bytes in packets of 37: packets begin and end inside the SysEx message,
    // and the image's two tail bytes are left unsent.
    const auto image = SimFirmwareImage::create (6, { 2, 1, 13 }, 1000, true);
    sendInPackets (image, 37, 2);
    EXPECT_EQ (quorrel.getRecord().packets.size(), 1u + (image.getSize() - 2 + 36) / 37);

    // It writes the image first and answers nothing meanwhile, then restarts with it.
    EXPECT_EQ (quorrel.getMode(), Mode::bootloader);
    EXPECT_TRUE (quorrel.waitForMode (Mode::normal, settings.applyImageMs + settings.reattachMs + 2000));
    EXPECT_EQ (quorrel.getVersion(), "2.1.13");
    EXPECT_TRUE (pumpUntil ([&] { return ports->getInputNames() == juce::StringArray ("Quorrel"); }, 2000));
}

TEST_F (Instrument, badOrForeignImagesLeaveItErasedInItsBootloader)
{
    auto settings = instrument (6);
    settings.mode = Mode::bootloader;
    settings.erased = true;
    SimulatedInstrument quorrel (*ports, settings);

    auto corrupt = SimFirmwareImage::create (6, { 3, 0, 0 }, 200);
    static_cast<juce::uint8*> (corrupt.getData())[50] ^= 0x01;
    sendInPackets (corrupt, 64);
    sendInPackets (SimFirmwareImage::create (8, { 3, 0, 0 }, 200), 64);

    auto truncated = SimFirmwareImage::create (6, { 3, 0, 0 }, 200);
    truncated.setSize (150);
    sendInPackets (truncated, 64);

    // A 32-byte stretch lost on the way, and a sum that still matches what arrived.
    auto holed = SimFirmwareImage::create (6, { 3, 0, 0 }, 200);
    holed.removeSection (40, 32);
    auto* holedBytes = static_cast<juce::uint8*> (holed.getData());
    holedBytes[holed.getSize() - 2] = (juce::uint8) (std::accumulate (holedBytes + 4, holedBytes + holed.getSize() - 2, 0u) & 0x7f);
    sendInPackets (holed, 64);

    // A version its identity reply could not report (it would read as 3.0.1).
    sendInPackets (SimFirmwareImage::create (6, { 2, 10, 1 }, 200), 64);

    juce::Thread::sleep (settings.reattachMs + 30);
    EXPECT_EQ (quorrel.getMode(), Mode::bootloader);
    EXPECT_TRUE (quorrel.isErased());
    EXPECT_TRUE (ports->getInputNames().contains ("Quorrel"));

    auto s = quorrel.getSettings();
    s.rejectImages = true;
    quorrel.setSettings (s);
    sendInPackets (SimFirmwareImage::create (6, { 3, 0, 0 }, 200), 64);
    juce::Thread::sleep (settings.reattachMs + 30);
    EXPECT_EQ (quorrel.getMode(), Mode::bootloader);
}

TEST_F (Instrument, thePulledCableTakesThePortsAwayPartWayThroughAnImage)
{
    auto settings = instrument (6);
    settings.mode = Mode::bootloader;
    settings.erased = true;
    settings.pullCableAtPercent = 50;
    SimulatedInstrument quorrel (*ports, settings);

    // The share is of the announced image, whatever its size.
    for (int payload : { 1000, 3000 })
    {
        quorrel.clearRecord();
        const auto image = SimFirmwareImage::create (6, { 2, 1, 13 }, payload);
        sendInPackets (image, 100);

        EXPECT_TRUE (ports->getInputNames().isEmpty());
        EXPECT_EQ (quorrel.getRecord().packets.size(), image.getSize() / 2 / 100 + 1) << "nothing after the pull reaches it";
        quorrel.reconnectCable();
        EXPECT_EQ (quorrel.getMode(), Mode::bootloader);
        EXPECT_TRUE (quorrel.isErased());
    }
}

TEST_F (Instrument, garbageAndSilenceFaults)
{
    auto settings = instrument (6);
    settings.garbage = true;
    SimulatedInstrument quorrel (*ports, settings);

    auto replies = ask (identityRequest);
    ASSERT_EQ (replies.size(), 1u);
    EXPECT_NE (replies[0][1], 0x7e);

    settings.garbage = false;
    settings.silent = true;
    quorrel.setSettings (settings);
    EXPECT_TRUE (ask (identityRequest).empty());
}

TEST_F (Instrument, theSimulatedUserPutsItIntoItsBootloaderAfterTheFirstReply)
{
    auto settings = instrument (8, "1.2.3");
    settings.bootloaderAfterMs = 50;
    SimulatedInstrument dorrick (*ports, settings);
    name = "Dorrick";

    ask (identityRequest);
    EXPECT_TRUE (dorrick.waitForMode (Mode::bootloader, 2000));
    ASSERT_TRUE (pumpUntil ([&] { return ports->getInputNames().contains (name) && ports->getOutputNames().contains (name); }, 2000));
    EXPECT_EQ (ask (identityRequest).at (0).at (7), 0x0f);
}

TEST_F (Instrument, destroyingItWhilePacketsArriveOnAnotherThreadIsSafe)
{
    auto settings = instrument (6);
    settings.mode = Mode::bootloader;
    settings.erased = true;
    auto quorrel = std::make_unique<SimulatedInstrument> (*ports, settings);
    auto out = ports->openOutput (0);
    ASSERT_NE (out, nullptr);

    std::atomic<bool> done { false };
    std::thread sender ([&]
    {
        const auto image = SimFirmwareImage::create (6, { 2, 1, 13 }, 20000);

        for (size_t offset = 0; offset < image.getSize() && ! done; offset += 64)
            (void) out->sendMessageNow (juce::MidiMessage (static_cast<const juce::uint8*> (image.getData()) + offset,
                                                           (int) juce::jmin<size_t> (64, image.getSize() - offset))); // taken or refused, as the unplugging falls
    });

    juce::Thread::sleep (5);
    quorrel.reset();
    done = true;
    sender.join();
    EXPECT_TRUE (ports->getInputNames().isEmpty());
}
