#include "UpdateOutcome.h"

#include "base/VersionNumber.h"

namespace
{
    /** The kinds of SendSysEx that send one command instead of a firmware image. */
    bool isCommandKind (const juce::String& messageKind)
    {
        return messageKind == "erase" || messageKind == "panel update state";
    }

    using Definitions = UpdaterDefinitions;

    template <typename Visit>
    void forEachSend (const Definitions::State::InstructionList& list, Visit&& visit)
    {
        for (auto& instruction : list)
        {
            if (auto* send = dynamic_cast<const Definitions::SendSysExInstruction*> (instruction.get()))
                visit (*send);
            else if (auto* check = dynamic_cast<const Definitions::CheckInstruction*> (instruction.get()))
                forEachSend (check->getInstructions(), visit);
        }
    }
}

UpdateOutcome::UpdateOutcome (const Definitions::StatesMachine& m, juce::String timeout, juce::String device)
    : machine (m), timeoutState (std::move (timeout)), deviceName (std::move (device))
{
    for (auto& [name, state] : machine.states)
    {
        forEachSend (state->instructions, [&, stateName = name] (const Definitions::SendSysExInstruction& send)
        {
            if (isCommandKind (send.getMessageKind()))
            {
                eraseStates.addIfNotAlreadyThere (stateName);
                return;
            }

            transferStates.addIfNotAlreadyThere (stateName);

            if (firmwareTransfer == nullptr)
                firmwareTransfer = &send;
        });
    }
}

bool UpdateOutcome::isLookingForInstrument (const juce::String& stateName) const
{
    return ! begun && stateName == machine.initialState;
}

bool UpdateOutcome::isEraseState (const juce::String& stateName) const    { return eraseStates.contains (stateName); }
bool UpdateOutcome::isTransferState (const juce::String& stateName) const { return transferStates.contains (stateName); }

std::optional<UpdateOutcome::Result> UpdateOutcome::stateEntered (const juce::String& name, const juce::String& reportedVersion,
                                                                  const juce::String& selectedVersion)
{
    if (isEraseState (name) || isTransferState (name))
    {
        begun = true;
        return {};
    }

    const auto reported = parseVersionNumber (reportedVersion);
    const bool reportsSelected = reportedVersion.containsAnyOf ("0123456789")
                                 && reported == parseVersionNumber (selectedVersion);

    if (name == "Download complete")
    {
        if (reportsSelected)
            return Result { updated, "The " + deviceName + " now runs firmware version " + reportedVersion + ".", true };

        return Result { failed, "after the update the " + deviceName + " reports version " + reportedVersion
                                    + ", not " + selectedVersion + ".", true };
    }

    if (name == "Update cancelled")
        return Result { failed, "the update was cancelled.", true };

    if (name.startsWith ("Error"))
        return Result { failed, "the update failed (State '" + name + "'):", true };

    if (begun && (name == machine.initialState || name == timeoutState))
        return Result { failed, cancelled ? juce::String ("the update was cancelled.")
                                          : "the " + deviceName + " did not come back after the update began.", false };

    if (! begun && name == "Idle, device detected" && reportsSelected)
        return Result { updated, "The " + deviceName + " already runs firmware version " + reportedVersion
                                     + "; nothing to install.", false };

    return {};
}
