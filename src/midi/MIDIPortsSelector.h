#pragma once

#include "MidiPorts.h"
#include "FollowedInstrument.h"
#include "PortLocks.h"
#include "../definitions/PollingResult.h"

#include <atomic>
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
    struct PortChoice
    {
        int index = -1;
        juce::String name;
        juce::String identifier; // empty while Auto, or where the choice was made by name only
    };

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
    bool isFollowedInstrumentAmbiguous() const noexcept { return followedAmbiguous.load(); }

    /** The identifiers of the ports a scan passed over because another updater held them. Any thread. */
    juce::StringArray getPortsHeldElsewhere() const;

    /** Lets go of every port this selector holds. Call while no poll runs. */
    void releasePorts();

    /** Closes the ports kept open between polls (see MidiPorts::closeIdlePorts). Call after the
        engine has stopped, before the program ends. */
    void closeIdlePorts();

    // Detection results ---------------------------------------------------------------------
    juce::String getFirmwareVersion() const;
    bool isBootloaderMode() const noexcept { return bootloaderMode.load(); }
    bool isDeviceDetected() const noexcept { return deviceDetected.load(); }
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
    void pickInput (const juce::String& sourceName);
    void setInputChoice (int index, const juce::String& name);
    void setOutputChoice (int index, const juce::String& name, const juce::String& identifier = {});
    std::shared_ptr<PortLocks> getLocks() const;
    bool mayTalkTo (const juce::MidiDeviceInfo& output, bool scanning, bool candidate = false);
    /** Where the followed instrument is now; keeps the port choices on its ports when it has
        moved. nullopt when no instrument is followed. */
    std::optional<FollowedInstrument::Sighting> locateFollowed (const juce::Array<juce::MidiDeviceInfo>& outputs);
    /** The output the followed instrument is on now: nullopt when none is followed, an empty one
        while it is away. */
    std::optional<juce::MidiDeviceInfo> followedOutput (const juce::Array<juce::MidiDeviceInfo>& outputs);
    void startFollowing (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& outputs);
    void stopFollowingUnlessRestricted();
    juce::String lockKeyOf (const juce::MidiDeviceInfo& output);
    /** Holds the NameGuard of the output's name while its instrument is followed (no place). */
    void guardName (const juce::MidiDeviceInfo& output);
    void unguardNames();
    bool isGuardedElsewhere (const juce::MidiDeviceInfo& output);
    int inputBelongingTo (const juce::MidiDeviceInfo& output, const juce::Array<juce::MidiDeviceInfo>& inputs);
    PollingResult scanFollowed (const FollowedInstrument::Sighting& sighting, const juce::Array<juce::MidiDeviceInfo>& outputs);
    PollingResult askCandidates (const juce::Array<juce::MidiDeviceInfo>& candidates, const juce::Array<juce::MidiDeviceInfo>& outputs);
    /** Whether the output's lock could be taken now (taken and let go at once). */
    PortLocks::Outcome probeOutput (const juce::MidiDeviceInfo& output, juce::String& error);
    bool mayHearInput (const juce::MidiDeviceInfo& input, const juce::Array<juce::MidiDeviceInfo>& outputs);
    void tellOnce (const juce::String& identifier, const juce::String& line, bool heldElsewhere);
    PollingResult inquireAt (const juce::MidiDeviceInfo& output, int position, int waitMs);
    void decodeVersion (int family, const juce::uint8* data);
    std::unique_ptr<MidiInputPort> openInputAt (int index);
    std::unique_ptr<MidiOutputPort> openOutputAt (int index);
    static void closeInputs (std::vector<std::unique_ptr<MidiInputPort>>& inputs);
    PollingResult inquireOnOutputs();
    PollingResult runAlternativeInquiry (juce::uint16 family, bool checkPanelMode);
    static void logRefusal (const juce::String& outputName, const juce::Result& sent);

    class Impl;
    std::unique_ptr<Impl> impl;

    std::atomic<bool> bootloaderMode { false }, deviceDetected { false }, followedAmbiguous { false };

    JUCE_DECLARE_NON_COPYABLE (MIDIPortsSelector)
};
