#include "definitions/InbuiltDefinitions.h"
#include "definitions/UpdaterDefinitions.h"
#include "VfuBinaryData.h"

#include <juce_cryptography/juce_cryptography.h>
#include <gtest/gtest.h>

using Definitions = UpdaterDefinitions;

namespace
{
std::unique_ptr<Definitions> inbuilt (const juce::String& device)
{
    return std::make_unique<Definitions> (InbuiltDefinitions::getText(), device, false);
}

template <typename Kind>
std::vector<const Kind*> allOf (const Definitions::State::InstructionList& list)
{
    std::vector<const Kind*> found;

    for (auto& instruction : list)
    {
        if (auto* match = dynamic_cast<const Kind*> (instruction.get()))
            found.push_back (match);

        if (auto* check = dynamic_cast<const Definitions::CheckInstruction*> (instruction.get()))
            for (auto* nested : allOf<Kind> (check->getInstructions()))
                found.push_back (nested);
    }

    return found;
}

/** The text that a state sets into a label, or "(none)". */
juce::String labelText (const Definitions::State& state, const juce::String& label)
{
    for (auto* field : allOf<Definitions::TextFieldInstruction> (state.instructions))
        if (field->getName() == label)
            return field->getText();

    return "(none)";
}

/** Click target of the state's own button, or "-". */
juce::String clickTarget (const Definitions::State& state)
{
    for (auto& instruction : state.instructions)
        if (auto* button = dynamic_cast<const Definitions::ButtonInstruction*> (instruction.get()))
            return button->getGotoState().isEmpty() ? "-" : button->getGotoState();

    return "-";
}

juce::String target (const Definitions::State::Transitions& table, PollingResult result)
{
    const auto found = table.find (result);
    return found != table.end() ? found->second : "-";
}

juce::String escaped (const juce::String& text)
{
    return "\"" + text.replace ("\\", "\\\\").replace ("\r", "\\r").replace ("\n", "\\n").replace ("\t", "\\t") + "\"";
}

/** Every value the loader keeps for one instruction list, one line each, texts escaped so that
    line breaks and trailing spaces count. */
void describe (const Definitions::State::InstructionList& list, const juce::String& indent, juce::String& out)
{
    const auto quoted = [] (const juce::String& text) { return escaped (text); };
    const auto transitions = [] (const Definitions::State::Transitions& table)
    {
        juce::String text;

        for (auto& [result, target] : table)
            text << " " << (int) result << "->" << target.quoted();

        return text;
    };

    for (auto& instruction : list)
    {
        out << indent;

        if (auto* field = dynamic_cast<const Definitions::TextFieldInstruction*> (instruction.get()))
            out << "TextField " << quoted (field->getName()) << " " << quoted (field->getText()) << " " << (int) field->isVisible();
        else if (auto* button = dynamic_cast<const Definitions::ButtonInstruction*> (instruction.get()))
            out << "Button " << quoted (button->getName()) << " " << quoted (button->getText()) << " "
                << quoted (button->getState()) << " " << quoted (button->getGotoState());
        else if (auto* print = dynamic_cast<const Definitions::PrintInstruction*> (instruction.get()))
            out << "Print " << quoted (print->getText());
        else if (auto* send = dynamic_cast<const Definitions::SendSysExInstruction*> (instruction.get()))
            out << "SendSysEx " << quoted (send->getMessageKind()) << " " << quoted (send->getEndPollingMode()) << " "
                << send->getPacketSize() << " " << send->getWaitTime() << transitions (send->getPollingStates());
        else if (auto* wait = dynamic_cast<const Definitions::WaitInstruction*> (instruction.get()))
            out << "Wait " << wait->getTime();
        else if (auto* gotoState = dynamic_cast<const Definitions::GotoStateInstruction*> (instruction.get()))
            out << "GotoState " << quoted (gotoState->getState());
        else if (auto* check = dynamic_cast<const Definitions::CheckInstruction*> (instruction.get()))
            out << "Check " << quoted (check->getName()) << " " << (int) check->getValue();
        else
            out << "(unknown instruction)";

        out << "\n";

        if (auto* check = dynamic_cast<const Definitions::CheckInstruction*> (instruction.get()))
            describe (check->getInstructions(), indent + "  ", out);
    }
}

juce::String describe (const Definitions& definitions)
{
    juce::String out;
    const auto* machine = definitions.getMachine();
    out << definitions.getDeviceName() << " " << (int) definitions.getDeviceId() << " " << definitions.getTimeout() << " "
        << definitions.getTimeoutState().quoted() << " " << machine->initialState.quoted() << "\n";

    for (auto& [name, state] : machine->states)
    {
        out << "State " << name.quoted() << "\n";

        for (auto& [key, value] : state->attributes)
            out << "  @" << key << "=" << escaped (value) << "\n";

        for (auto& [result, target] : state->pollingStates)
            out << "  polling " << (int) result << "->" << target.quoted() << "\n";

        describe (state->instructions, "  ", out);
    }

    return out;
}

juce::String crlf (const juce::String& text)
{
    return text.replace ("\n", "\r\n");
}
} // namespace

//==============================================================================
TEST (InbuiltDefinitions, everyDeviceLoadsWithItsHeader)
{
    struct Expected { const char* name; int deviceId, timeout, states, tailBytes; };

    for (auto& expected : { Expected { "Vantoline", 11, 45, 13, 2 }, Expected { "Halvane XV", 12, 45, 16, 2 },
                            Expected { "Dorrick", 8, 45, 13, 0 }, Expected { "Quorrel", 6, 60, 13, 0 } })
    {
        SCOPED_TRACE (expected.name);
        auto definitions = inbuilt (expected.name);
        auto* machine = definitions->getMachine();
        ASSERT_NE (machine, nullptr);
        EXPECT_EQ (definitions->getDeviceId(), expected.deviceId);
        EXPECT_EQ (definitions->getTimeout(), expected.timeout);
        EXPECT_EQ (definitions->getTimeoutState(), "Idle, no device");
        EXPECT_EQ (definitions->getTailBytesToSkip(), expected.tailBytes);
        EXPECT_EQ ((int) machine->states.size(), expected.states);
        EXPECT_EQ (machine->initialState, "Idle, no device");

        // Every button and jump leads somewhere (transition targets are checked by the loader).
        for (auto& [name, state] : machine->states)
        {
            for (auto* jump : allOf<Definitions::GotoStateInstruction> (state->instructions))
                EXPECT_NE (machine->findState (jump->getState()), nullptr) << name;

            const auto click = clickTarget (*state);
            EXPECT_TRUE (click == "-" || machine->findState (click) != nullptr) << name;
        }
    }
}

TEST (InbuiltDefinitions, theDocumentIsStoredWithCrLfLineBreaks)
{
    const auto text = InbuiltDefinitions::getText();
    EXPECT_TRUE (text.startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<FirmwareUpdaters>\r\n"));
    EXPECT_EQ (text.replace ("\r\n", "").indexOfAnyOf ("\r\n"), -1) << "every line break is CR LF";
}

TEST (InbuiltDefinitions, quorrelTransitionsFollowTheUpdateFlow)
{
    auto definitions = inbuilt ("Quorrel");
    auto* machine = definitions->getMachine();

    struct Row { const char* state; const char* polling; const char* noDevice; const char* detected; const char* bootloader; const char* click; };

    const Row rows[] = {
        { "Idle, no device",             "MIDI Device inquiry", "-", "Idle, device detected", "Idle, bootloader detected", "-" },
        { "Idle, device detected",       "MIDI Device inquiry", "Waiting", "-", "Firmware erase", "-" },
        { "Waiting",                     "MIDI Device inquiry", "-", "Idle, device detected", "Firmware erase", "-" },
        { "Idle, bootloader detected",   "MIDI Device inquiry", "Idle, no device", "Idle, no device", "-", "Firmware erase" },
        { "Firmware erase",              "MIDI Device inquiry", "Erase, waiting for reattach", "Erase, waiting for reattach", "Erase, waiting for reattach", "Idle, no device" },
        { "Erase, waiting for reattach", "MIDI Device inquiry", "-", "Error, device detected", "Firmware download", "Update cancelled" },
        { "Firmware download",           "MIDI ports",          "Waiting for new firmware", "-", "-", "Update cancelled" },
        { "Waiting for new firmware",    "MIDI Device inquiry", "-", "Download complete", "Error, bootloader detected", "Update cancelled" },
        { "Update cancelled",            "none",                "-", "-", "-", "-" },
        { "Download complete",           "MIDI Device inquiry", "-", "-", "Firmware erase", "-" },
        { "Error, no device",            "MIDI Device inquiry", "-", "Idle, device detected", "Idle, bootloader detected", "-" },
        { "Error, device detected",      "MIDI Device inquiry", "Idle, no device", "-", "Idle, bootloader detected", "-" },
        { "Error, bootloader detected",  "MIDI Device inquiry", "Idle, no device", "Idle, device detected", "-", "Firmware erase" },
    };

    // Document order is the order of the rows; the map is by name, so check both.
    ASSERT_EQ (machine->states.size(), std::size (rows));

    for (auto& row : rows)
    {
        SCOPED_TRACE (row.state);
        auto* state = machine->findState (row.state);
        ASSERT_NE (state, nullptr);
        EXPECT_EQ (state->getAttribute ("pollingMode"), row.polling);
        EXPECT_EQ (state->pollingStates.size(), (size_t) ((juce::String (row.noDevice) != "-") + (juce::String (row.detected) != "-")
                                                          + (juce::String (row.bootloader) != "-")));
        EXPECT_EQ (target (state->pollingStates, PollingResult::NoDevice), row.noDevice);
        EXPECT_EQ (target (state->pollingStates, PollingResult::DeviceDetected), row.detected);
        EXPECT_EQ (target (state->pollingStates, PollingResult::BootloaderDetected), row.bootloader);
        EXPECT_EQ (clickTarget (*state), row.click);
    }

    auto* download = machine->findState ("Firmware download");
    const auto sends = allOf<Definitions::SendSysExInstruction> (download->instructions);
    ASSERT_EQ (sends.size(), 1u);
    EXPECT_EQ (sends[0]->getMessageKind(), "quorrel-fw-$(version)");
    EXPECT_EQ (sends[0]->getPacketSize(), 256);
    EXPECT_FLOAT_EQ (sends[0]->getWaitTime(), 0.082f);
    EXPECT_EQ (sends[0]->getEndPollingMode(), "MIDI Device inquiry");
    const Definitions::State::Transitions afterSend { { PollingResult::NoDevice, "Waiting for new firmware" },
                                                      { PollingResult::DeviceDetected, "Download complete" },
                                                      { PollingResult::BootloaderDetected, "Error, bootloader detected" } };
    EXPECT_EQ (sends[0]->getPollingStates(), afterSend);

    const auto erases = allOf<Definitions::SendSysExInstruction> (machine->findState ("Firmware erase")->instructions);
    ASSERT_EQ (erases.size(), 1u);
    EXPECT_EQ (erases[0]->getMessageKind(), "erase");
    EXPECT_TRUE (erases[0]->getPollingStates().empty());

    auto* cancelled = machine->findState ("Update cancelled");
    ASSERT_EQ (allOf<Definitions::WaitInstruction> (cancelled->instructions).size(), 1u);
    EXPECT_FLOAT_EQ (allOf<Definitions::WaitInstruction> (cancelled->instructions)[0]->getTime(), 5.0f);
    EXPECT_EQ (allOf<Definitions::GotoStateInstruction> (cancelled->instructions)[0]->getState(), "Idle, no device");
}

TEST (InbuiltDefinitions, quorrelWindowTextsAreExact)
{
    auto definitions = inbuilt ("Quorrel");
    auto* machine = definitions->getMachine();
    const auto& idle = *machine->findState ("Idle, no device");

    EXPECT_EQ (labelText (idle, "InstalledVersion"), "No device");
    EXPECT_EQ (labelText (idle, "InstructionsField"),
               crlf ("To update the Quorrel's firmware, connect it directly to your computer's USB port and power it on. "
                     "Do not use any USB hub.\n        \nNOTE: Only run this updater on your computer's native operating system. "
                     "Use on virtual machines is not supported and may not work."));
    const auto installing = allOf<Definitions::TextFieldInstruction> (idle.instructions)[2];
    EXPECT_EQ (installing->getName(), "Installing");
    EXPECT_EQ (installing->getText(), "");
    EXPECT_FALSE (installing->isVisible());
    const auto button = allOf<Definitions::ButtonInstruction> (idle.instructions)[0];
    EXPECT_EQ (button->getName(), "InstallCancel");
    EXPECT_EQ (button->getText(), "Cancel");
    EXPECT_EQ (button->getState(), "disabled");

    EXPECT_EQ (labelText (*machine->findState ("Idle, device detected"), "InstructionsField"),
               crlf ("\nTo begin installing firmware on the Quorrel, follow these steps:\n            \n"
                     "1. On the Quorrel control panel, press and hold the PITCH AMT and HARD SYNC buttons at the same time.\n\n"
                     "2. While Holding the PITCH AMT and HARD SYNC buttons, press the ACTIVATE PANEL button two times (double-tap).\n\n"
                     "3. You should see the MIDI LED (top left) blink on and off three times slowly, then the LFO LED (top right) "
                     "starts to blink on and off regularly.\n        "));

    const auto checks = allOf<Definitions::CheckInstruction> (machine->findState ("Download complete")->instructions);
    ASSERT_EQ (checks.size(), 2u);
    EXPECT_EQ (checks[0]->getName(), "versionNumber");
    EXPECT_FALSE (checks[0]->getValue());
    EXPECT_EQ (labelText (*machine->findState ("Download complete"), "InstructionsField"), "Update has failed. Please try again.");
    EXPECT_TRUE (checks[1]->getValue());
    EXPECT_EQ (allOf<Definitions::TextFieldInstruction> (checks[1]->getInstructions())[0]->getText(), "Update completed successfully.");
}

TEST (InbuiltDefinitions, otherDevicesCarryTheirOwnTexts)
{
    auto halvane = inbuilt ("Halvane XV");
    EXPECT_EQ (labelText (*halvane->getMachine()->findState ("Idle, no device"), "InstructionsField"),
               crlf ("\nTo update a Halvane XV, connect it to this computer using the USB port.\n\n"
                     "Connect USB directly from the Halvane XV to your computer; do not use a USB hub for firmware updates.\n\n"
                     "NOTE: Only run this updater on your computer's native operating system.\n\n"
                     "Use on virtual machines is not supported, and may result in a failed update.\n            "));

    auto* waitingForErase = halvane->getMachine()->findState ("Waiting for erase");
    EXPECT_EQ (waitingForErase->getAttribute ("timeoutState"), "Idle, no device");
    EXPECT_EQ (waitingForErase->getAttribute ("pollingMode"), "Scan all ports");
    EXPECT_EQ (target (halvane->getMachine()->findState ("Panel erase")->pollingStates, PollingResult::PanelErased), "Panel download");
    EXPECT_EQ (target (halvane->getMachine()->findState ("Idle, no device")->pollingStates, PollingResult::PanelModeDetected), "Idle, panel update mode");

    auto dorrick = inbuilt ("Dorrick");
    EXPECT_EQ (labelText (*dorrick->getMachine()->findState ("Idle, device detected"), "InstructionsField"),
               crlf ("To start the update, please:\n            \n1. Disconnect the power cable from your Dorrick\n"
                     "2. Press and hold OSC 1 and 2 Wave buttons, then reconnect the power cable\n"
                     "3. While keeping the two buttons pushed, also push Release\n4. Release all buttons in order for the update to begin"));
    EXPECT_EQ (allOf<Definitions::SendSysExInstruction> (dorrick->getMachine()->findState ("Firmware download")->instructions)[0]->getMessageKind(),
               "dorrick-fw-$(version)");

    auto vantoline = inbuilt ("Vantoline");
    EXPECT_EQ (labelText (*vantoline->getMachine()->findState ("Idle, bootloader detected"), "InstructionsField"),
               "You can power off the Vantoline then, press and hold ROOT, SCALE and SETUP buttons an power the Vantoline on, "
               "or simply press 'Install' button");
}

TEST (InbuiltDefinitions, theWholeDocumentAndEveryLoadedValueArePinned)
{
    // Any change to the shipped document, or to what the loader makes of it, shows here: the first
    // digest covers every byte of the resource, the second every text, button and attribute as
    // loaded (line breaks included). Update both only for a deliberate change of the document.
    const juce::MemoryBlock resource (VfuBinaryData::StateMachines_xml, (size_t) VfuBinaryData::StateMachines_xmlSize);
    EXPECT_EQ (juce::SHA256 (resource).toHexString(), "111a5e156cbd422a9075e5a9633427eef25546a463b1590762ee87b926cf2173");

    juce::String model;

    for (auto* device : { "Vantoline", "Halvane XV", "Dorrick", "Quorrel" })
        model << describe (*inbuilt (device));

    EXPECT_EQ (juce::SHA256 (model.toUTF8()).toHexString(), "32e4ec2e43f89844494a680effb32bf5f5fadff13fcd61bb6c283bb447c14cc4") << model;
}
