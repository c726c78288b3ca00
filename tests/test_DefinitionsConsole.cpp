#include "definitions/InbuiltDefinitions.h"
#include "definitions/UpdaterDefinitions.h"

#include <gtest/gtest.h>

using Definitions = UpdaterDefinitions;

namespace
{
const char* const devices[] = { "Quorrel", "Dorrick", "Vantoline", "Halvane XV" };

juce::String transitionsText (const Definitions::State::Transitions& table)
{
    juce::String text;

    for (auto& [result, target] : table)
        text << (int) result << ">" << target << " ";

    return text;
}

/** Everything a State does apart from the words it shows: its polling, transitions, buttons'
    targets and enabling, SysEx, waits, jumps and checks, in document order. */
juce::String behaviourOf (const Definitions::State::InstructionList& list)
{
    juce::String text;

    for (auto& instruction : list)
    {
        if (auto* field = dynamic_cast<const Definitions::TextFieldInstruction*> (instruction.get()))
            text << "TextField " << field->getName() << (field->isVisible() ? " shown" : " hidden")
                 << (field->getName() == "InstalledVersion" ? " " + field->getText() : juce::String()) << "\n";
        else if (auto* button = dynamic_cast<const Definitions::ButtonInstruction*> (instruction.get()))
            text << "Button " << button->getName() << " " << button->getText() << " " << button->getState()
                 << " " << button->getGotoState() << "\n";
        else if (dynamic_cast<const Definitions::PrintInstruction*> (instruction.get()) != nullptr)
            text << "Print\n";
        else if (auto* send = dynamic_cast<const Definitions::SendSysExInstruction*> (instruction.get()))
            text << "SendSysEx " << send->getMessageKind() << " " << send->getEndPollingMode() << " "
                 << send->getPacketSize() << " " << send->getWaitTime() << " " << transitionsText (send->getPollingStates()) << "\n";
        else if (auto* wait = dynamic_cast<const Definitions::WaitInstruction*> (instruction.get()))
            text << "Wait " << wait->getTime() << "\n";
        else if (auto* jump = dynamic_cast<const Definitions::GotoStateInstruction*> (instruction.get()))
            text << "GotoState " << jump->getState() << "\n";
        else if (auto* check = dynamic_cast<const Definitions::CheckInstruction*> (instruction.get()))
            text << "Check " << check->getName() << " " << (int) check->getValue() << " {\n"
                 << behaviourOf (check->getInstructions()) << "}\n";
    }

    return text;
}

juce::String instructionsOf (const Definitions::State::InstructionList& list)
{
    juce::String text;

    for (auto& instruction : list)
    {
        if (auto* field = dynamic_cast<const Definitions::TextFieldInstruction*> (instruction.get()))
            if (field->getName() == "InstructionsField")
                text << field->getText() << "\n";

        if (auto* check = dynamic_cast<const Definitions::CheckInstruction*> (instruction.get()))
            text << instructionsOf (check->getInstructions());
    }

    return text;
}
} // namespace

TEST (DefinitionsConsole, eachDeviceHasAConsoleDefinitionThatBehavesExactlyLikeItsWindowedOne)
{
    for (auto* device : devices)
    {
        SCOPED_TRACE (device);
        std::unique_ptr<Definitions> windowed, console;
        ASSERT_NO_THROW (windowed = std::make_unique<Definitions> (InbuiltDefinitions::getText(), device, false));
        ASSERT_NO_THROW (console = std::make_unique<Definitions> (InbuiltDefinitions::getConsoleText(), device, true));

        EXPECT_TRUE (console->isConsoleMode());
        EXPECT_EQ (console->getDeviceId(), windowed->getDeviceId());
        EXPECT_EQ (console->getTimeout(), windowed->getTimeout());
        EXPECT_EQ (console->getTimeoutState(), windowed->getTimeoutState());

        auto* w = windowed->getMachine();
        auto* c = console->getMachine();
        ASSERT_NE (c, nullptr);
        EXPECT_EQ (c->initialState, w->initialState);
        ASSERT_EQ (c->states.size(), w->states.size());

        for (auto& [name, state] : w->states)
        {
            SCOPED_TRACE (name);
            auto* consoleState = c->findState (name);
            ASSERT_NE (consoleState, nullptr);
            EXPECT_EQ (consoleState->attributes, state->attributes);
            EXPECT_EQ (transitionsText (consoleState->pollingStates), transitionsText (state->pollingStates));
            EXPECT_EQ (behaviourOf (consoleState->instructions), behaviourOf (state->instructions));
        }
    }
}

TEST (DefinitionsConsole, consoleInstructionsNeverAskForAClick)
{
    for (auto* device : devices)
    {
        auto console = std::make_unique<Definitions> (InbuiltDefinitions::getConsoleText(), device, true);

        for (auto& [name, state] : console->getMachine()->states)
        {
            const auto text = instructionsOf (state->instructions);
            EXPECT_FALSE (text.containsIgnoreCase ("click")) << device << " / " << name << ": " << text;
            EXPECT_FALSE (text.contains ("'Install'")) << device << " / " << name << ": " << text;
        }
    }
}

TEST (DefinitionsConsole, theWindowedDocumentHasNoConsoleDefinitionsAndTheConsoleDocumentNoWindowedOnes)
{
    // Each program finds its definitions only in its own document.
    EXPECT_THROW (Definitions (InbuiltDefinitions::getText(), "Quorrel", true), Definitions::FirmwareUpdaterException);
    EXPECT_THROW (Definitions (InbuiltDefinitions::getConsoleText(), "Quorrel", false), Definitions::FirmwareUpdaterException);
}
