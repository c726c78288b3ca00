#pragma once

#include "midi/MidiPorts.h"
#include "midi/PortLocks.h"

#include <functional>
#include <map>
#include <vector>

/** vfu-update --list: the MIDI ports, and what answers the identity request on each output
    (device, family, version, bootloader or not). Each output is named by its identifier first
    (what --port takes); an output that another updater holds is not asked, and says so.

    Runs on the message thread before the engine exists; it waits about a second per output
    for the answers, which arrive on the port backend's thread.
*/
class PortLister final : private MidiPortReceiver
{
public:
    /** definitionsText names the devices: each FirmwareUpdater's deviceName for its MIDIDeviceID. */
    PortLister (std::shared_ptr<MidiPorts> ports, const juce::String& definitionsText);
    ~PortLister() override;

    /** Called between the outputs: when it returns true, the others are not asked. */
    void setStopCheck (std::function<bool()> check) { stopCheck = std::move (check); }

    /** The lists as text; identifiers, names and answers with their control characters escaped. */
    juce::String describe();
    /** One JSON object per output and line: event "port", port, name, answers, held, error. */
    juce::String describeAsJson();

    /** "Quorrel (family 0006), firmware 2.1.12" for an identity reply, or empty for anything else. */
    juce::String describeReply (const juce::String& inputName, const juce::MidiMessage& reply) const;

private:
    struct Reply
    {
        juce::String inputName;
        juce::MidiMessage message;
    };

    struct Output
    {
        juce::MidiDeviceInfo device;
        bool held = false;              // another updater holds it: not asked
        juce::String error;             // it could not be locked or opened: not asked
        juce::StringArray answers;      // describeReply of each answer, with its input
        juce::String location;          // where its device is plugged in (USB), if the system tells
        juce::String lockKey;           // what its lock is named after: the location, else the identifier
    };

    /** Asks every output in turn, each under its lock. */
    std::vector<Output> survey (juce::Array<juce::MidiDeviceInfo>& inputs);

    void handleIncomingMidiMessage (const juce::String& sourceName, const juce::MidiMessage& message) override;
    std::vector<Reply> takeReplies();

    std::shared_ptr<MidiPorts> ports;
    std::function<bool()> stopCheck;
    PortLocks locks;
    std::map<int, juce::String> deviceNames;
    juce::CriticalSection lock;
    std::vector<Reply> replies;
    juce::WaitableEvent replyArrived;

    JUCE_DECLARE_NON_COPYABLE (PortLister)
};
