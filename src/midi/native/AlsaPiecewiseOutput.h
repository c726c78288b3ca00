#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>

class AlsaSendingPort;

/** A virtual MIDI output port (one that other programs read from) on an ALSA sequencer client of
    its own, which sends every message the way the kernel passes on what arrives from a hardware
    MIDI port: a SysEx in events of at most pieceBytes bytes (the kernel's are 256: the first
    piece begins with F0, the last may be a lone F7), any other message as one event.

    The framework's own virtual output sends a SysEx as one event, so a simulated hardware device
    whose replies must arrive in pieces sends them through this port instead.

    Linux only: elsewhere it never opens. One thread at a time may send.
*/
class AlsaPiecewiseOutput final
{
public:
    /** clientName: the client's name, as a USB instrument's client carries the instrument's. */
    AlsaPiecewiseOutput (const juce::String& clientName, const juce::String& portName, int pieceBytes);
    ~AlsaPiecewiseOutput();

    bool isOpen() const noexcept;

    /** Sends the message; 0 when every piece was handed to the sequencer, else its negative error. */
    int send (const juce::MidiMessage& message);

private:
    const int pieceBytes;
    std::unique_ptr<AlsaSendingPort> sender; // on a client of its own, named after the device

    JUCE_DECLARE_NON_COPYABLE (AlsaPiecewiseOutput)
};
