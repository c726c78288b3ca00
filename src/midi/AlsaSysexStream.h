#pragma once

#include <juce_core/juce_core.h>

/** Sends raw slices of a SysEx byte stream to one ALSA sequencer port (Linux).

    The firmware sender cuts an image, one long SysEx message, into paced packets that begin or
    end inside it. The framework's ALSA output encodes each call on its own and drops a SysEx
    without its end, so such packets never leave it. This stream sends each slice as it is, as
    SysEx events from an ALSA client of its own, connected to the destination port.

    Elsewhere (no ALSA) it never opens. One thread at a time may send.
*/
class AlsaSysexStream final
{
public:
    /** destination: the framework's identifier of an ALSA port, "client-port". */
    explicit AlsaSysexStream (const juce::String& destination);
    ~AlsaSysexStream();

    bool isOpen() const noexcept { return handle != nullptr; }

    /** Sends the bytes as they are; false when the sequencer refused them. Never blocks for long. */
    bool send (const juce::uint8* data, size_t size);

private:
    void* handle = nullptr; // snd_seq_t
    int port = -1;

    JUCE_DECLARE_NON_COPYABLE (AlsaSysexStream)
};
