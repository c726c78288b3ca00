#pragma once

#include "MidiPorts.h"
#include "ChosenInstrument.h"
#include "FollowedInstrument.h"
#include "PortLocks.h"
#include "../definitions/PollingResult.h"

#include <optional>
#include <memory>
#include <vector>

/** Holds the MIDI port choice and the detection results, and performs every poll of the
    instrument: it opens ports, sends the inquiries, decodes the replies that arrive on its
    inputs and returns one PollingResult per poll.

    There is one process-wide instance (getInstance()); tests may also make their own.
    Polls run on the engine thread; port opens requested from a worker thread run on the
    message thread; replies are decoded on the port backend's input thread.
*/
class MIDIPortsSelector final : public MidiPortReceiver
{
public:
    MIDIPortsSelector();
    ~MIDIPortsSelector() override;

    /** The process-wide selector. */
    static MIDIPortsSelector& getInstance();

    /** The ports the selector works over; the application gives it JuceMidiPorts (the default),
        demo mode and tests a VirtualMidiPorts. Call while no poll runs. */
    void setPorts (std::shared_ptr<MidiPorts> newPorts);
    std::shared_ptr<MidiPorts> getPorts() const;

    /** Back to the state of a new selector: both choices Auto, no family, version "Unknown". For tests. */
    void reset();

    // Port choice ---------------------------------------------------------------------------
    /** One direction's choice: a position in the port list and the name found there, or
        -1 and "Auto". Both always change together, so a copy describes one port. */
    using PortChoice = ChosenInstrument::PortChoice;

    bool selectAutoInput();
    bool selectAutoOutput();
    /** A listed name or "Auto"; false (and no change) for a name that is not listed. Message thread. */
    bool selectInput (const juce::String& name);
    bool selectOutput (const juce::String& name);

    PortChoice getInputChoice() const;
    PortChoice getOutputChoice() const;
    juce::String getInputName() const   { return getInputChoice().name; }
    juce::String getOutputName() const  { return getOutputChoice().name; }
    int getInputIndex() const           { return getInputChoice().index; }
    int getOutputIndex() const          { return getOutputChoice().index; }

    // Port locks and the instrument being updated ---------------------------------------------
    /* Which ports may be talked to, and when they are locked, is decided by PortAccess. */

    /** Only the instrument on this output (an identifier of MidiPorts::getOutputDevices()) is
        used from now on, wherever it goes when it restarts: it is being updated from the start
        (vfu-update --port). Empty: all. Call while no poll runs. */
    void restrictToOutput (const juce::String& identifier);

    /** The update of the instrument on the chosen output begins (its first command is about to be
        sent): from now on it alone is talked to, followed through its restarts, until endUpdate().
        Engine thread. */
    void beginUpdate();

    /** The update ended (completed, failed, cancelled, or the engine went back to its start): every
        port may be asked again, unless restricted to one. Engine thread. */
    void endUpdate();

    /** Between an erase and the image's last byte the instrument can only answer from its
        bootloader: an answer from running firmware is then taken for no answer. Engine thread. */
    void setImageIncomplete (bool incomplete);

    /** Takes the output for this updater as for an update: granted, or held by another updater.
        The lock is named after the output's USB location where the system tells it, so that it
        covers the instrument through its restarts. Waits while a scan of another updater asks the
        port. A lock that cannot be made is logged and the port used without it (granted). */
    PortLocks::Outcome claimOutput (const juce::MidiDeviceInfo& output, juce::String& error);

    /** True while two ports that appeared while the instrument being updated was away both answer
        as it: nothing but the identity request is sent to either. Any thread. */
    bool isFollowedInstrumentAmbiguous() const noexcept;

    /** The identifiers of the ports a scan passed over because another updater held them. Any thread. */
    juce::StringArray getPortsHeldElsewhere() const;

    /** Lets go of every port this selector holds. Call while no poll runs. */
    void releasePorts();

    /** Closes the ports kept open between polls (see MidiPorts::closeIdlePorts). Call after the
        engine has stopped, before the program ends. */
    void closeIdlePorts();

    // Detection results ---------------------------------------------------------------------
    juce::String getFirmwareVersion() const;
    bool isBootloaderMode() const noexcept;
    bool isDeviceDetected() const noexcept;
    int getPanelStatus() const;

    /** The family the decoder looks for; scanForDevice sets it on every poll. For tests and tools. */
    void setDeviceFamily (juce::uint16 family);
    juce::uint16 getDeviceFamily() const;

    // Polls (engine thread) -------------------------------------------------------------------
    PollingResult scanForDevice (juce::uint16 family, bool checkPanelMode);
    PollingResult sendDeviceInquiry (const juce::String& outputName, int waitMs);
    PollingResult checkSelectedPorts();
    PollingResult queryPanelState();

    /** The chosen output, opened, or nullptr when none is chosen or a stop is requested. The caller owns it. */
    std::unique_ptr<MidiOutputPort> openSelectedOutput();

    // Messages --------------------------------------------------------------------------------
    static const juce::MidiMessage& deviceInquiryRequest();
    static const juce::MidiMessage& alternativeDeviceInquiryRequest();
    static juce::MidiMessage panelStateQuery (juce::uint16 family);

    /** The reply decoder; called on the input thread. */
    void handleIncomingMidiMessage (const juce::String& sourceName, const juce::MidiMessage& message) override;

private:
    /** Where the instrument being updated is now; the choices follow it when it moved. */
    std::optional<FollowedInstrument::Sighting> locateFollowed (const juce::Array<juce::MidiDeviceInfo>& outputs,
                                                                std::uint64_t listsGeneration = 0);
    PollingResult scanFollowed (const FollowedInstrument::Sighting& sighting, const juce::Array<juce::MidiDeviceInfo>& outputs);
    PollingResult inquireAt (const juce::MidiDeviceInfo& output, int position, int waitMs, bool hearItsInputs);
    PollingResult inquireOnOutputs (bool hearEachOutputsInputs);
    PollingResult runAlternativeInquiry (juce::uint16 family, bool checkPanelMode);
    std::unique_ptr<MidiInputPort> openChosenInput();
    bool selectByUser (const juce::String& name, const juce::Array<juce::MidiDeviceInfo>& ports, const juce::String& chosenBefore,
                       const std::function<void (int, const juce::MidiDeviceInfo&)>& choose);
    /** Ends an update and lets go of the ports held, before a choice of the user's changes. */
    void letGoOfPreviousChoice();
    /** Opens the inputs that may carry the output's answer, for a poll that hears only them. */
    std::vector<std::unique_ptr<MidiInputPort>> openInputsOf (const juce::MidiDeviceInfo& output,
                                                              const juce::Array<juce::MidiDeviceInfo>& outputs);

    // The pieces: the ports and their locks, the detection results, the chosen instrument, the
    // port opener and the poll of an absent instrument's candidates.
    struct Parts;
    std::unique_ptr<Parts> parts;

    JUCE_DECLARE_NON_COPYABLE (MIDIPortsSelector)
};
