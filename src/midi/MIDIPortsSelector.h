#pragma once

#include "MidiPorts.h"
#include "../definitions/PollingResult.h"

#include <atomic>
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
    void setOutputChoice (int index, const juce::String& name);
    void decodeVersion (int family, const juce::uint8* data);
    std::unique_ptr<MidiInputPort> openInputAt (int index);
    std::unique_ptr<MidiOutputPort> openOutputAt (int index);
    static void closeInputs (std::vector<std::unique_ptr<MidiInputPort>>& inputs);
    PollingResult inquireOnOutputs();
    PollingResult runAlternativeInquiry (juce::uint16 family, bool checkPanelMode);
    static void logRefusal (const juce::String& outputName, const juce::Result& sent);

    class Impl;
    std::unique_ptr<Impl> impl;

    std::atomic<bool> bootloaderMode { false }, deviceDetected { false };

    JUCE_DECLARE_NON_COPYABLE (MIDIPortsSelector)
};
