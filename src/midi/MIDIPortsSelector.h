#pragma once

#include "MidiPorts.h"
#include "ChosenInstrument.h"
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

    // Port locks ------------------------------------------------------------------------------
    /* On ports shared with other programs, the selector takes an output's lock before it sends
       anything there (see PortLocks): an Auto scan asks only ports that no other updater holds,
       says once per port in the log that it passed one over, holds a port only while it asks it,
       and keeps the port its instrument answered on until it lets it go. */

    /** Only the instrument on this output (an identifier of MidiPorts::getOutputDevices()), and
        the inputs that belong with it, are used from now on, wherever it goes when it restarts
        (see FollowedInstrument); empty: all. Call while no poll runs. */
    void restrictToOutput (const juce::String& identifier);

    /** Takes the output for this updater as for an update: granted, held by another updater, or
        failed (error says why). The lock is named after the output's USB location where the
        system tells it, so that it covers the instrument through its restarts. Waits while a scan
        of another updater asks the port. */
    PortLocks::Outcome claimOutput (const juce::MidiDeviceInfo& output, juce::String& error);

    /** True once two ports that appeared while the followed instrument was away both answered as
        it: nothing is sent to either from then on, since which one it is cannot be told. Any thread. */
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
    /** Whether this updater may send to the output now: only to the followed instrument's port
        while one is followed (a candidate excepted), and only under the port's lock. */
    bool mayTalkTo (const juce::MidiDeviceInfo& output, bool scanning, bool candidate = false);
    bool mayHearInput (const juce::MidiDeviceInfo& input, const juce::Array<juce::MidiDeviceInfo>& outputs);
    PollingResult scanFollowed (const FollowedInstrument::Sighting& sighting, const juce::Array<juce::MidiDeviceInfo>& outputs);
    PollingResult inquireAt (const juce::MidiDeviceInfo& output, int position, int waitMs);
    PollingResult inquireOnOutputs();
    PollingResult runAlternativeInquiry (juce::uint16 family, bool checkPanelMode);

    // The pieces: the ports and their locks, the detection results, the chosen instrument, the
    // port opener and the poll of an absent instrument's candidates.
    struct Parts;
    std::unique_ptr<Parts> parts;

    JUCE_DECLARE_NON_COPYABLE (MIDIPortsSelector)
};
