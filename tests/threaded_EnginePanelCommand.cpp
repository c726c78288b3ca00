// The panel update command of a family-12 definition, from the engine to a simulated Halvane XV.

#include "support/EngineTestSupport.h"
#include "midi/MIDIPortsSelector.h"
#include "midi/VirtualMidiPorts.h"
#include "simulator/SimulatedInstrument.h"

#include <gtest/gtest.h>

TEST (EnginePanelCommand, thePanelUpdateCommandGoesOutAsF0040C3100F7AndTheReadiedPanelIsPolledAsErased)
{
    auto bus = std::make_shared<VirtualMidiPorts>();
    MIDIPortsSelector::getInstance().reset();
    MIDIPortsSelector::getInstance().setPorts (bus);

    SimulatedInstrument::Settings settings;
    settings.family = 12;
    settings.version = "1.0.9";
    settings.reattachMs = 30;
    SimulatedInstrument halvane (*bus, settings);

    const juce::String document =
        "<FirmwareUpdaters><FirmwareUpdater deviceName=\"Halvane XV\" communicationMode=\"MIDI\" MIDIDeviceID=\"000C\""
        " fileNamePattern=\"halvanexv-fw-\" initialState=\"Find\" timeout=\"60\" timeoutState=\"Find\">"
        "<State name=\"Find\" pollingMode=\"MIDI Device inquiry\">"
        "  <PollingState value=\"device detected\" gotoState=\"Panel\"/></State>"
        "<State name=\"Panel\" pollingMode=\"Panel state\">"
        "  <SendSysEx messageKind=\"panel update state\"/>"
        "  <PollingState value=\"panel erased\" gotoState=\"Ready\"/></State>"
        "<State name=\"Ready\" pollingMode=\"none\"/>"
        "</FirmwareUpdater></FirmwareUpdaters>";

    RecordingCallback callback;
    {
        FirmwareUpdater engine (document, "Halvane XV", false, &callback, juce::StringArray());
        engine.startThread();
        EXPECT_TRUE (pumpUntil ([&] { return callback.lastState() == "Ready"; }, 15000))
            << callback.states().joinIntoString (" | ");
    }

    EXPECT_EQ (halvane.countReceived ({ 0xf0, 0x04, 0x0c, 0x31, 0x00, 0xf7 }), 1);
    EXPECT_EQ (halvane.getPanelStatusByte(), 0x01);
    MIDIPortsSelector::getInstance().reset();
}
