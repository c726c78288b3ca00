#pragma once

#include "definitions/UpdaterDefinitions.h"

#include <optional>

/** Decides from the States the engine enters when a run of vfu-update is over, and how.

    The definitions drive the update; this reads their shape: a State that sends SysEx (the
    erase, the firmware) begins the update, "Download complete" ends it with the version check,
    "Update cancelled" and every State whose name begins with "Error" end it as failed, and a
    return to the initial or the time-out State after the beginning means the instrument never
    came back. Before the beginning, an instrument that already runs the version to install ends
    the run as well. Message thread.
*/
class UpdateOutcome final
{
public:
    enum ExitStatus { updated = 0, failed = 1, unusable = 2, noInstrument = 3, busy = 4 };

    struct Result
    {
        int exitStatus = updated;
        juce::String message;
        bool awaitStateTexts = false; // the State's own texts complete the message
    };

    UpdateOutcome (const UpdaterDefinitions::StatesMachine& machine, juce::String timeoutState, juce::String deviceName);

    /** reportedVersion: the version the instrument last reported; selectedVersion: the one to install. */
    std::optional<Result> stateEntered (const juce::String& name, const juce::String& reportedVersion,
                                        const juce::String& selectedVersion);

    void cancelRequested() noexcept { cancelled = true; }

    bool hasBegun() const noexcept { return begun; }
    /** True while no instrument has been found: the initial State before the update began. */
    bool isLookingForInstrument (const juce::String& stateName) const;
    bool isEraseState (const juce::String& stateName) const;
    bool isTransferState (const juce::String& stateName) const;

    /** The first firmware transfer of the definitions, or nullptr. */
    const UpdaterDefinitions::SendSysExInstruction* getFirmwareTransfer() const noexcept { return firmwareTransfer; }

private:
    const UpdaterDefinitions::StatesMachine& machine;
    const juce::String timeoutState, deviceName;
    juce::StringArray eraseStates, transferStates;
    const UpdaterDefinitions::SendSysExInstruction* firmwareTransfer = nullptr;
    bool begun = false, cancelled = false;
};
