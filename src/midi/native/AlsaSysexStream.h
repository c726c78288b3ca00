#pragma once

#include <juce_core/juce_core.h>

#include <memory>

class AlsaSendingClient;
class AlsaSendingPort;

/** Sends MIDI bytes to one ALSA sequencer port (Linux) from a port of its own on the program's
    sending client (AlsaSendingClient::shared), connected to that port, and says for each send
    whether the sequencer took it.

    The firmware sender cuts an image, one long SysEx message, into paced packets that begin or
    end inside it. The framework's ALSA output encodes each call on its own, drops a SysEx
    without its end and never says whether a send failed. This stream sends each slice of a
    SysEx as it is, as SysEx events, so every byte of one SysEx leaves through the same port
    whatever the packet size; a message outside a SysEx is encoded as its own event.

    Elsewhere (no ALSA) it never opens. One thread at a time may send.
*/
class AlsaSysexStream final
{
public:
    /** destination: the framework's identifier of an ALSA port, "client-port". Makes its port on
        the client and connects it at once. */
    AlsaSysexStream (std::shared_ptr<AlsaSendingClient> client, const juce::String& destination);
    ~AlsaSysexStream();

    bool isOpen() const noexcept { return sender != nullptr; }

    /** Why the stream could not be opened; empty when it is open. */
    const juce::String& getOpenError() const noexcept { return openError; }

    /** Sends the bytes; fails with the sequencer's reason when it refused any of them (the
        stream never opened, a receiver that stays full, a port that does not take writes).
        Waits at most 200 ms for a receiver that is full, and not at all once the sending thread
        is asked to stop (see AlsaSendingPort). */
    juce::Result send (const juce::uint8* data, size_t size);

private:
    juce::Result sendSysexBytes (const juce::uint8* data, size_t size);
    juce::Result sendShortMessage (const juce::uint8* data, size_t size);

    std::unique_ptr<AlsaSendingPort> sender; // while open
    int destinationClient = -1, destinationPort = -1;
    bool insideSysex = false; // the last bytes sent began a SysEx that has not ended yet
    juce::String openError;

    JUCE_DECLARE_NON_COPYABLE (AlsaSysexStream)
};
