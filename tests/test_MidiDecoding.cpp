#include "midi/MIDIPortsSelector.h"
#include "base/VersionNumber.h"
#include "midi/VirtualMidiPorts.h"
#include "simulator/SimIdentityReply.h"
#include "support/MidiLogCapture.h"

#include <gtest/gtest.h>

namespace
{
    juce::MidiMessage bytes (std::initializer_list<int> raw)
    {
        std::vector<juce::uint8> data;

        for (auto b : raw)
            data.push_back ((juce::uint8) b);

        return juce::MidiMessage (data.data(), (int) data.size());
    }

    juce::MidiMessage identityReply (int familyLow, std::array<int, 6> modelAndVersion, int deviceId = 0x7f)
    {
        const auto& m = modelAndVersion;
        return bytes ({ 0xf0, 0x7e, deviceId, 0x06, 0x02, 0x04, 0x00, familyLow, m[0], m[1], m[2], m[3], m[4], m[5], 0xf7 });
    }

    struct Decoding : public ::testing::Test
    {
        Decoding()
        {
            ports->plugIn ("Synth", "Synth", nullptr);
            selector.setPorts (ports);
        }

        void lookFor (int family) { selector.setDeviceFamily ((juce::uint16) family); }
        void receive (const juce::MidiMessage& m) { selector.handleIncomingMidiMessage ("Synth", m); }

        std::shared_ptr<VirtualMidiPorts> ports = std::make_shared<VirtualMidiPorts>();
        MIDIPortsSelector selector;
    };
}

TEST (MidiMessages, theThreeRequestsHaveTheirProtocolBytes)
{
    auto raw = [] (const juce::MidiMessage& m)
    {
        return std::vector<juce::uint8> (m.getRawData(), m.getRawData() + m.getRawDataSize());
    };

    EXPECT_EQ (raw (MIDIPortsSelector::deviceInquiryRequest()), (std::vector<juce::uint8> { 0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7 }));
    EXPECT_EQ (raw (MIDIPortsSelector::alternativeDeviceInquiryRequest()), (std::vector<juce::uint8> { 0xf0, 0x04, 0x0c, 0x16, 0x01, 0xf7 }));
    EXPECT_EQ (raw (MIDIPortsSelector::panelStateQuery (0x008c)),
               (std::vector<juce::uint8> { 0xf0, 0x04, 0x0c, 0x31, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf7 }));
}

TEST_F (Decoding, aQuorrelReplyGivesItsVersionAndOneLogLine)
{
    MidiLogCapture log;
    lookFor (6);
    receive (identityReply (0x06, { 0, 0, 0, 0, 0x41, 0x10 }));

    EXPECT_TRUE (selector.isDeviceDetected());
    EXPECT_EQ (selector.getFirmwareVersion(), "2.1.13");
    EXPECT_FALSE (selector.isBootloaderMode());
    EXPECT_TRUE (log.contains ("DeviceID 0006 detected (firmware version : 2.1.13)"));
    EXPECT_TRUE (log.contains ("Select MIDI input 0 : [Synth]"));
    EXPECT_EQ (selector.getInputIndex(), 0);
    EXPECT_EQ (selector.getInputName(), "Synth");
}

TEST_F (Decoding, quorrelVersionNumbersSwitchFormAbove1000AndBootloaderShowsAs4801)
{
    MidiLogCapture log;
    lookFor (6);
    receive (identityReply (0x06, { 0, 0, 0, 0, 1000 & 0x7f, 1000 >> 7 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "10.0.0");
    receive (identityReply (0x06, { 0, 0, 0, 0, 1001 & 0x7f, 1001 >> 7 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "1.0.1");

    receive (identityReply (0x06, { 0, 0, 0, 0, 0x48, 0x01 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "");
    EXPECT_TRUE (selector.isBootloaderMode());
    EXPECT_TRUE (log.contains ("DeviceID 0006 detected (firmware version : )"));

    // Model bytes that fit no rule: detected, logged, version and flag left as they were.
    receive (identityReply (0x06, { 0, 1, 0, 0, 0x41, 0x10 }));
    EXPECT_TRUE (selector.isBootloaderMode());
    EXPECT_EQ (log.count ("DeviceID 0006 detected (firmware version : )"), 2);
}

TEST_F (Decoding, dorrickVersionAndItsBootloaderNamingFamily000F)
{
    MidiLogCapture log;
    lookFor (8);
    receive (identityReply (0x08, { 0, 0, 123, 0, 0, 0 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "1.2.3");
    EXPECT_TRUE (log.contains ("DeviceID 0008 detected (firmware version : 1.2.3)"));

    receive (identityReply (0x0f, { 0, 0, 0, 0, 0, 0 }));
    EXPECT_TRUE (selector.isBootloaderMode());
    EXPECT_EQ (selector.getFirmwareVersion(), "");
    EXPECT_EQ (log.lines().size(), 2) << "the bootloader reply logs no DeviceID line";

    // While looking for another family, 000F means nothing.
    MIDIPortsSelector other;
    other.setPorts (ports);
    other.setDeviceFamily (6);
    other.handleIncomingMidiMessage ("Synth", identityReply (0x0f, { 0, 0, 0, 0, 0, 0 }));
    EXPECT_FALSE (other.isDeviceDetected());
}

TEST_F (Decoding, vantolineVersionFormsAndBothBootloaderSigns)
{
    MidiLogCapture log;
    lookFor (11);
    receive (identityReply (0x0b, { 0, 0, 0x03, 0x01, 0x02, 0x05 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "1.2.5p3");
    receive (identityReply (0x0b, { 0, 0, 0x00, 0x00, 0x3f, 0x07 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "1.0.7");
    receive (identityReply (0x0b, { 0, 0, 0x00, 0x01, 0x02, 0x03 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "1.2.3");
    EXPECT_TRUE (log.contains ("DeviceID 000B detected (firmware version : 1.2.3, bootloader = false)"));

    receive (identityReply (0x0b, { 0, 1, 0x05, 0x05, 0x05, 0x05 }));
    EXPECT_TRUE (selector.isBootloaderMode());
    EXPECT_EQ (selector.getFirmwareVersion(), "");
    EXPECT_TRUE (log.contains ("DeviceID 000B detected (firmware version : , bootloader = true)"));

    receive (identityReply (0x0b, { 0, 0, 0x00, 0x01, 0x02, 0x03 }));
    EXPECT_FALSE (selector.isBootloaderMode());
    receive (identityReply (0x0b, { 0, 0, 0x00, 0x00, 0x64, 0x00 }));
    EXPECT_TRUE (selector.isBootloaderMode());
}

TEST_F (Decoding, halvaneKeepsItsMarkerInTheLastByte)
{
    lookFor (12);
    receive (identityReply (0x0c, { 0, 0, 0x00, 0x00, 0x07, 0x3f }));
    EXPECT_EQ (selector.getFirmwareVersion(), "1.0.7");
    receive (identityReply (0x0c, { 0, 0, 0x00, 0x00, 0x3f, 0x07 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "0.63.7");
    receive (identityReply (0x0c, { 0, 0, 0x02, 0x01, 0x01, 0x00 }));
    EXPECT_EQ (selector.getFirmwareVersion(), "1.1.0p2");
}

TEST_F (Decoding, repliesThatAreNotForUsAreIgnored)
{
    MidiLogCapture log;
    lookFor (6);

    receive (identityReply (0x06, { 0, 0, 0, 0, 0x41, 0x10 }, 0x00));              // device ID byte must be 7F
    receive (identityReply (0x08, { 0, 0, 0, 0, 0x41, 0x10 }));                    // another family
    receive (bytes ({ 0xf0, 0x7e, 0x7f, 0x06, 0x02, 0x05, 0x00, 0x06, 0, 0, 0, 0, 0x41, 0x10, 0xf7 })); // other maker
    receive (juce::MidiMessage::noteOn (1, 60, (juce::uint8) 100));

    // Cut short: never read past the end, never match.
    const auto full = identityReply (0x06, { 0, 0, 0, 0, 0x41, 0x10 });
    for (int length = 1; length < full.getRawDataSize(); ++length)
        receive (juce::MidiMessage (full.getRawData(), length));

    EXPECT_FALSE (selector.isDeviceDetected());
    EXPECT_EQ (selector.getFirmwareVersion(), "Unknown");
    EXPECT_TRUE (log.lines().isEmpty());

    // Before any poll no family is set, so even a well-formed reply does not count.
    MIDIPortsSelector fresh;
    fresh.setPorts (ports);
    fresh.handleIncomingMidiMessage ("Synth", full);
    EXPECT_FALSE (fresh.isDeviceDetected());
}

TEST_F (Decoding, panelStatusBytesMapToResultsAndHigherOnesChangeNothing)
{
    auto panel = [this] (int status) { receive (bytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x01, status, 0xf7 })); return selector.getPanelStatus(); };

    EXPECT_EQ (panel (0x01), (int) PollingResult::PanelErased);
    EXPECT_EQ (panel (0x02), (int) PollingResult::PanelFirmwareSending);
    EXPECT_EQ (panel (0x03), (int) PollingResult::PanelFirmwareSucceeded);
    EXPECT_EQ (panel (0x05), (int) PollingResult::PanelUpdateFailed);
    EXPECT_EQ (panel (0x06), (int) PollingResult::PanelUpdateFailed);
    EXPECT_EQ (panel (0x7f), (int) PollingResult::PanelUpdateFailed);
    EXPECT_EQ (panel (0x04), (int) PollingResult::PanelNoUpdate);
    EXPECT_EQ (panel (0x00), (int) PollingResult::PanelNoUpdate);

    receive (bytes ({ 0xf0, 0x04, 0x0c, 0x31, 0x01, 0xf7 })); // no status byte
    EXPECT_EQ (selector.getPanelStatus(), (int) PollingResult::PanelNoUpdate);
}

TEST_F (Decoding, theInputPickHappensOnlyWhileTheInputIsOnAuto)
{
    ports->plugIn ("Other", "", nullptr, 0);
    lookFor (6);
    ASSERT_TRUE (selector.selectInput ("Other"));
    receive (identityReply (0x06, { 0, 0, 0, 0, 0x41, 0x10 }));
    EXPECT_EQ (selector.getInputName(), "Other");
    EXPECT_EQ (selector.getInputIndex(), 0);
}

TEST_F (Decoding, aReplyFromAnInputNoLongerListedChoosesNoInput)
{
    // The input pick would store the position of a port that is not there (-1) with an empty
    // name: a choice that is neither Auto nor a port. The reply still counts as a detection.
    MidiLogCapture log;
    lookFor (6);
    selector.handleIncomingMidiMessage ("Gone", identityReply (0x06, { 0, 0, 0, 0, 0x41, 0x10 }));

    EXPECT_TRUE (selector.isDeviceDetected());
    EXPECT_EQ (selector.getFirmwareVersion(), "2.1.13");
    EXPECT_EQ (selector.getInputName(), "Auto");
    EXPECT_EQ (selector.getInputIndex(), -1);
    EXPECT_EQ (log.lines(), juce::StringArray ("DeviceID 0006 detected (firmware version : 2.1.13)"));

    // The next reply from a listed input is picked as usual.
    receive (identityReply (0x06, { 0, 0, 0, 0, 0x41, 0x10 }));
    EXPECT_EQ (selector.getInputName(), "Synth");
    EXPECT_EQ (selector.getInputIndex(), 0);
}

TEST (VersionNumbers, parseAndFormatAgreeWithTheDocumentedExamples)
{
    EXPECT_EQ (parseVersionNumber ("1.1.0"), 1010099);
    EXPECT_EQ (parseVersionNumber ("1.1.0p0"), 1010000);
    EXPECT_EQ (parseVersionNumber ("2.1.13"), 2011399);
    EXPECT_EQ (parseVersionNumber (""), 99);
    EXPECT_EQ (parseVersionNumber ("1.1.0p99"), parseVersionNumber ("1.1.0"));
    EXPECT_EQ (formatVersionNumber (2011399), "2.1.13");
    EXPECT_EQ (formatVersionNumber (1010000), "1.1.0p0");

    EXPECT_LT (parseVersionNumber ("1.1.0p5"), parseVersionNumber ("1.1.0"));
    EXPECT_LT (parseVersionNumber ("1.0.9"), parseVersionNumber ("1.1.0p0"));
    EXPECT_LT (parseVersionNumber ("2.1.12"), parseVersionNumber ("2.1.13"));
    EXPECT_GE (parseVersionNumber ("99999999999.1.2"), 0) << "huge numbers must not overflow into negatives";
}

TEST (VersionNumbers, formattedNumbersParseBackToThemselves)
{
    for (int a : { 0, 1, 2, 10, 99 })
        for (int b : { 0, 1, 9, 63 })
            for (int c : { 0, 7, 13, 99 })
                for (int d : { 0, 1, 42, 98, 99 })
                {
                    const auto n = ((a * 100 + b) * 100 + c) * 100 + d;
                    EXPECT_EQ (parseVersionNumber (formatVersionNumber (n)), n) << n;
                }
}

TEST_F (Decoding, everyVersionTheDecoderCanReadIsReportedBackByTheSimulatorUnchanged)
{
    auto decode = [this] (int family, const std::array<juce::uint8, 4>& v)
    {
        receive (identityReply (family, { 0, 0, v[0], v[1], v[2], v[3] }));
        return selector.getFirmwareVersion();
    };

    auto checkRoundTrip = [&] (int family, const std::array<juce::uint8, 4>& v)
    {
        lookFor (family);
        const auto text = decode (family, v);

        if (selector.isBootloaderMode())
            return;

        auto version = SimVersion::fromText (text);
        ASSERT_TRUE (version.has_value()) << text;
        const auto again = decode (family, SimIdentityReply::versionBytes (family, *version));
        ASSERT_FALSE (selector.isBootloaderMode()) << text;
        ASSERT_EQ (again, text) << "family " << family;
    };

    for (int u = 0; u < 16384; ++u)
    {
        const auto lo = (juce::uint8) (u & 0x7f), hi = (juce::uint8) (u >> 7);
        checkRoundTrip (6, { 0, 0, lo, hi });
        checkRoundTrip (8, { lo, hi, 0, 0 });
    }

    for (int family : { 11, 12 })
        for (juce::uint8 pre : { 0, 1, 3, 127 })
            for (juce::uint8 a : { 0, 1, 2, 63, 127 })
                for (int bc = 0; bc < 16384; bc += 3)
                    checkRoundTrip (family, { pre, a, (juce::uint8) (bc >> 7), (juce::uint8) (bc & 0x7f) });
}

TEST (DecodingOrder, aDetectionIsVisibleOnlyOnceTheReplyingInputHasBeenPicked)
{
    // The engine acts on the detection flag the moment it sees it (family 12 opens the picked
    // input next), so the flag must not be up while the input pick is still looking for the port.
    struct WatchingPorts final : public MidiPorts
    {
        juce::StringArray getInputNames() override
        {
            flagSeenDuringPick.push_back (selector != nullptr && selector->isDeviceDetected());
            return { "Synth" };
        }

        juce::StringArray getOutputNames() override { return { "Synth" }; }
        std::unique_ptr<MidiInputPort> openInput (int, MidiPortReceiver&) override { return {}; }
        std::unique_ptr<MidiOutputPort> openOutput (int) override { return {}; }

        MIDIPortsSelector* selector = nullptr;
        std::vector<bool> flagSeenDuringPick;
    };

    for (auto family : { 12, 8 })
    {
        auto ports = std::make_shared<WatchingPorts>();
        MIDIPortsSelector selector;
        ports->selector = &selector;
        selector.setPorts (ports);
        selector.setDeviceFamily ((juce::uint16) family);

        // Family 12 application reply; for family 8 the bootloader's reply naming family 000F.
        selector.handleIncomingMidiMessage ("Synth", family == 12 ? identityReply (0x0c, { 0, 0, 0, 1, 2, 3 })
                                                                  : identityReply (0x0f, { 0, 0, 0, 0, 0, 0 }));

        EXPECT_EQ (ports->flagSeenDuringPick, std::vector<bool> { false }) << "family " << family;
        EXPECT_TRUE (selector.isDeviceDetected());
        EXPECT_EQ (selector.getInputIndex(), 0);
    }
}

TEST_F (Decoding, theSimulatorTakesExactlyTheVersionsItsFamilysReplyReportsUnchanged)
{
    for (int family : { 6, 8, 11, 12 })
    {
        lookFor (family);

        for (int major : { 0, 1, 2, 9, 10, 16, 17, 127, 163, 164 })
            for (int minor : { 0, 1, 9, 10, 63, 100, 127 })
                for (int patch : { 0, 1, 9, 10, 13, 63, 83, 84, 99, 100, 127 })
                    for (int pre : { -1, 0, 1, 126 })
                    {
                        const SimVersion version { major, minor, patch, pre };
                        const auto bytes = SimIdentityReply::versionBytes (family, version);
                        receive (identityReply (family, { 0, 0, bytes[0], bytes[1], bytes[2], bytes[3] }));
                        const bool readsBack = ! selector.isBootloaderMode() && selector.getFirmwareVersion() == version.toText();

                        ASSERT_EQ (SimIdentityReply::canCarry (family, version), readsBack)
                            << "family " << family << ", " << version.toText() << " reads as " << selector.getFirmwareVersion();
                    }
    }
}
