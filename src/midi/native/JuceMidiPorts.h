#pragma once

#include "AlsaPortList.h"
#include "../MidiPorts.h"
#include "OpenPortShelf.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>

class AlsaSendingClient;

/** The platform's MIDI devices through juce::MidiInput and juce::MidiOutput.

    Any thread may list ports; opening happens on the calling thread (the selector moves opens
    from worker threads onto the message thread). On Windows an input is closed on the message
    thread, whichever thread lets go of it, and the close waits until the framework has closed
    the device, so that the next open connects afresh. A position opens the port listed there by the
    last list read, or nothing when another port is there now. Incoming messages arrive on the
    framework's MIDI input thread, complete (a SysEx delivered in parts is passed on whole), and
    are handed on with the name of the device they came from.

    On Linux the lists are read through one sequencer client of its own, kept open (the same
    names and identifiers as the framework's lists); they stay empty while the ALSA sequencer
    cannot be opened, which is tried again every few seconds, since it may appear later. An
    output sends from a port of its own (AlsaSysexStream) on the program's one sending client,
    which this object holds from its first output on, and says of every send whether the
    sequencer took it. On Windows an output is winmm's own, opened at the device ID the framework
    lists the device at: it waits for the driver's notice that a buffer is done and says why a
    send failed (the device gone, the port open in another program). Elsewhere (macOS) the
    framework's outputs cannot tell, and their sends always count as taken.

    On Linux a port opened is kept open when its user lets go of it, and handed out again for the
    same port (an input: for the same receiver) for as long as the sequencer has not announced the
    port or its client gone, so that polling a port does not open and close a sequencer client
    every time. A kept input goes on reading what arrives and passes on nothing while stopped; a
    kept output whose send failed is closed. closeIdlePorts() closes what is kept.
*/
class JuceMidiPorts final : public MidiPorts
{
public:
    JuceMidiPorts();
    ~JuceMidiPorts() override;

    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    juce::Array<juce::MidiDeviceInfo> getInputDevices() override;
    juce::Array<juce::MidiDeviceInfo> getOutputDevices() override;
    bool areSharedWithOtherPrograms() const override { return true; }
    bool belongTogether (const juce::MidiDeviceInfo& input, const juce::MidiDeviceInfo& output) const override;
    juce::String locationOf (const juce::MidiDeviceInfo& port) override;
    std::uint64_t getListsGeneration() override;
    std::unique_ptr<MidiInputPort> openInput (int index, MidiPortReceiver& receiver) override;
    std::unique_ptr<MidiInputPort> openInputDevice (const juce::MidiDeviceInfo& device, MidiPortReceiver& receiver) override;
    std::unique_ptr<MidiOutputPort> openOutput (int index) override;
    std::unique_ptr<MidiOutputPort> openOutputDevice (const juce::MidiDeviceInfo& device) override;
    void closeIdlePorts() override;

    /** The ports ("MIDI output [NAME]", "MIDI input [NAME]") whose last open failed because
        another program has them open: Windows' MIDI ports are exclusive. Empty elsewhere, where
        ports are shared. Any thread. */
    static juce::StringArray getPortsInUseByOtherPrograms();

private:
    OpenPortShelf<MidiInputPort>::StampOf stampOfKey();

    bool sequencerAvailable();
    juce::Array<juce::MidiDeviceInfo> listAndRemember (bool inputs);
    juce::Array<juce::MidiDeviceInfo> availableDevices (bool inputs);
    void remember (const juce::Array<juce::MidiDeviceInfo>& devices, bool inputs);
    juce::MidiDeviceInfo deviceToOpen (int index, bool inputs);
    std::unique_ptr<MidiOutputPort> openListedOutput (const juce::MidiDeviceInfo& device);
    std::unique_ptr<MidiInputPort> openListedInput (const juce::MidiDeviceInfo& device, MidiPortReceiver& receiver);
    std::shared_ptr<AlsaSendingClient> sendingClientForOutputs();

    AlsaPortList alsaPorts; // Linux: the lists, read through one sequencer client kept open
    // Linux: the ports opened, kept open between polls while their ports last (see openInput).
    std::shared_ptr<OpenPortShelf<MidiInputPort>> keptInputs;
    std::shared_ptr<OpenPortShelf<MidiOutputPort>> keptOutputs;
    std::atomic<bool> sequencerSeen { false };
    std::atomic<double> nextSequencerAttempt { 0.0 };

    // Linux: the program's sending client, held from the first output opened until this object
    // goes, so that polls do not make a client each; guarded by sendingClientLock.
    juce::CriticalSection sendingClientLock;
    std::shared_ptr<AlsaSendingClient> sendingClient;

    mutable juce::CriticalSection listLock;
    juce::Array<juce::MidiDeviceInfo> listedInputs, listedOutputs; // the last lists read, guarded by listLock

    JUCE_DECLARE_NON_COPYABLE (JuceMidiPorts)
};
