#pragma once

#include "DevicePortHost.h"
#include "MidiPorts.h"

#include <juce_core/juce_core.h>

#include <memory>

/** A software MIDI bus for simulated instruments (tests and demo mode).

    A device plugs in a pair of ports: an input of the updater (what the device sends arrives
    there) and an output of the updater (what is sent there reaches the device). It can pull
    them out again and plug new ones in at other positions, as a USB instrument does when it
    reboots. Port objects opened earlier stay valid but dead: an input stops delivering, an
    output drops what is sent on it, and opening a port that has gone fails.

    Threads: every function may be called from any thread.
    - Messages sent on an output reach the device's Device::receivedFromUpdater on the sending
      thread, with no bus lock held. pullOut() waits for such a call on other threads to end
      (it may be called from inside that call).
    - Messages a device sends (sendToUpdater) reach the receivers of the opened and started
      inputs on the bus's own thread, never on the caller's. stop() or deleting an input waits
      for a delivery to it that is under way, so a receiver is never called after its port is gone.
*/
class VirtualMidiPorts final : public MidiPorts,
                               public DevicePortHost
{
public:
    using Device = DevicePortHost::Device;
    using PlugId = DevicePortHost::PlugId;

    VirtualMidiPorts();
    ~VirtualMidiPorts() override;

    /** Plugs in an input named inputName and an output named outputName (an empty name: no port
        in that direction). position -1 appends, any other is clamped into the list. device may be
        null (an output that goes nowhere) and must outlive the plug (pullOut before deleting it).
        Returns the plug's id, never 0. */
    PlugId plugIn (const juce::String& inputName, const juce::String& outputName, Device* device,
                   int inputPosition = -1, int outputPosition = -1) override;

    /** The ports of that plug vanish. Unknown or already pulled ids are ignored. */
    void pullOut (PlugId plug) override;

    bool isPluggedIn (PlugId plug) const override;

    /** Queues a message from the device; the bus thread delivers it to every opened and started
        input of the plug. Dropped if the plug is pulled out before delivery. */
    void sendToUpdater (PlugId plug, const juce::MidiMessage& message) override;

    /** How many input port objects are open right now (for tests: every poll closes what it opened). */
    int countOpenInputs() const;

    /** Waits until everything queued so far is delivered (or the timeout ends); true if idle. */
    bool waitUntilDelivered (int timeoutMs = 2000);

    // MidiPorts
    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::uint64_t getListsGeneration() override;
    std::unique_ptr<MidiInputPort> openInput (int index, MidiPortReceiver& receiver) override;
    std::unique_ptr<MidiOutputPort> openOutput (int index) override;

    struct Core;

private:
    class DeliveryThread;

    std::shared_ptr<Core> core;
    std::unique_ptr<DeliveryThread> thread;

    JUCE_DECLARE_NON_COPYABLE (VirtualMidiPorts)
};
