#pragma once

#include "../midi/DevicePortHost.h"
#include "SimMidiCable.h"

#include <juce_core/juce_core.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

/** Puts simulated devices on the operating system's MIDI service as virtual MIDI devices
    (juce::MidiInput::createNewDevice / juce::MidiOutput::createNewDevice: ALSA sequencer ports
    on Linux, CoreMIDI endpoints on macOS). Any MIDI program then sees the device's ports.

    A device's "input" (what it sends to the updater) is a virtual output of ours, and its
    "output" (what the updater sends to it) a virtual input. Positions are the system's to choose.

    The framework may hand a long SysEx over in pieces; the device gets the bytes in order, each
    once, as raw slices of the stream, exactly as the software bus gives them.

    A Line puts the devices behind what the system puts in front of a hardware port: the cable
    (SimMidiCable) between the updater's events and the device, and replies that reach the
    updater in pieces (AlsaPiecewiseOutput, Linux only).

    Threads: every function may be called from any thread. Devices hear from the updater on this
    host's own thread ("SystemVirtualPorts"), one message at a time; the monitor is called there
    and on the threads that call sendToUpdater, plugIn and pullOut.
*/
class SystemVirtualPorts final : public DevicePortHost
{
public:
    /** Told about traffic and port changes (vfu-instrument prints them). Called on the host's
        threads (see above), never under a lock of the host. */
    class Monitor
    {
    public:
        virtual ~Monitor() = default;

        virtual void portsChanged (const juce::String& inputName, const juce::String& outputName, bool present) = 0;

        /** A message that reached a device: complete, or a SysEx cut off (its ports vanished, or
            another message began before its end). */
        virtual void messageReceived (const juce::String& portName, const std::vector<juce::uint8>& bytes, bool complete) = 0;

        virtual void messageSent (const juce::String& portName, const juce::MidiMessage& message) = 0;

        /** The system refused a message from a device (error: its negative error number). */
        virtual void messageRefused (const juce::String& portName, const juce::MidiMessage& message, int error)
        {
            juce::ignoreUnused (portName, message, error);
        }

        /** An event for a device lost lostBytes of its eventBytes in the cable's full buffer. */
        virtual void cableOverrun (const juce::String& portName, size_t lostBytes, size_t eventBytes)
        {
            juce::ignoreUnused (portName, lostBytes, eventBytes);
        }
    };

    /** What stands between the updater and each device. */
    struct Line
    {
        bool cabled = false;           // false: the updater's events reach the device at once
        SimMidiCable::Settings cable;
        int replyPieceBytes = 0;       // replies cut into events of at most this size; 0: whole
    };

    /** True where the system offers virtual MIDI ports (not on Windows, where plugIn fails). */
    static bool systemOffersVirtualPorts();

    explicit SystemVirtualPorts (Monitor* monitor = nullptr);
    SystemVirtualPorts (Monitor* monitor, Line line);
    ~SystemVirtualPorts() override;

    PlugId plugIn (const juce::String& inputName, const juce::String& outputName, Device* device,
                   int inputPosition = -1, int outputPosition = -1) override;
    void pullOut (PlugId plug) override;
    bool isPluggedIn (PlugId plug) const override;
    void sendToUpdater (PlugId plug, const juce::MidiMessage& message) override;

private:
    class Plug;
    class Dispatcher;

    struct Slice
    {
        PlugId plug;
        std::vector<juce::uint8> bytes;
    };

    void queueFromSystem (PlugId plug, const juce::uint8* data, size_t size);
    void dispatch (Slice slice);
    void reportSysexCutOff (Plug& plug);

    Monitor* const monitor;
    const Line line;

    // Ports are made and deleted one at a time: the framework's ALSA client is a process-wide
    // object that it creates and releases without a lock of its own. Never taken by the
    // framework's input thread, so deleting a port under it cannot wait for that thread to wait
    // for us.
    juce::CriticalSection portLock;
    std::map<PlugId, std::unique_ptr<Plug>> plugs; // guarded by portLock
    PlugId lastPlug = 0;                           // guarded by portLock

    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<Slice> queue;       // guarded by queueMutex
    PlugId dispatching = 0;        // the plug whose device is being called, guarded by queueMutex
    bool stopping = false;         // guarded by queueMutex

    std::unique_ptr<Dispatcher> dispatcher;

    JUCE_DECLARE_NON_COPYABLE (SystemVirtualPorts)
};
