#pragma once

#include "simulator/SystemVirtualPorts.h"

#include <atomic>
#include <functional>
#include <mutex>

/** Prints one line to standard output per message the instrument receives or sends and per
    change of its ports, each with the seconds since start, and a line for every event that lost
    bytes in the cable's full buffer (the kernel logs "MIDI output buffer overrun"). A SysEx longer than a few dozen bytes
    (a firmware image) is printed as its size and SHA-256, once it is complete or cut off.

    Lines come from several threads; each is written whole and flushed. */
class TrafficPrinter final : public SystemVirtualPorts::Monitor
{
public:
    /** describeState gives the instrument's state for the port lines (may return nothing). */
    explicit TrafficPrinter (std::function<juce::String()> describeState);

    void portsChanged (const juce::String& inputName, const juce::String& outputName, bool present) override;
    void messageReceived (const juce::String& portName, const std::vector<juce::uint8>& bytes, bool complete) override;
    void messageSent (const juce::String& portName, const juce::MidiMessage& message) override;
    void messageRefused (const juce::String& portName, const juce::MidiMessage& message, int error) override;
    void cableOverrun (const juce::String& portName, size_t lostBytes, size_t eventBytes) override;

    void print (const juce::String& text);

    /** True once any ports were made (false: the system refused them). Any thread. */
    bool havePortsAppeared() const noexcept { return portsAppeared.load(); }

    /** The text for a message: hex bytes, or for a long SysEx its size and SHA-256. */
    static juce::String describe (const juce::uint8* data, size_t size, bool complete);

private:
    std::function<juce::String()> describeState;
    const double startMs;
    std::atomic<bool> portsAppeared { false };
    std::mutex mutex;
};
