#pragma once

#include <juce_core/juce_core.h>

#include <memory>

class AlsaSendingClient;

/** A port to send from on an AlsaSendingClient, with a MIDI event encoder for short messages: what
    AlsaSysexStream and AlsaPiecewiseOutput send through. The port is deleted with this object,
    and its client closes when this was its last holder.

    The client writes without blocking. A direct event that finds its receiver's pool full is
    refused with -EAGAIN whichever mode the sender is in, and a blocking write could hang the
    sending thread against a client that never reads, where no stop request reaches it. So a full
    receiver is waited out in short steps for busyRetryMs at most (0: not at all), and a stop
    request of the sending thread ends the wait at once; the client's lock is never held while
    waiting.

    Linux only: elsewhere it never opens. One thread at a time may send through one port; ports of
    one client may send from several threads at once.
*/
class AlsaSendingPort final
{
public:
    /** Makes the port at once; capabilities and type are its SND_SEQ_PORT_CAP_* and
        SND_SEQ_PORT_TYPE_* flags. */
    AlsaSendingPort (std::shared_ptr<AlsaSendingClient> client, const juce::String& portName, unsigned int capabilities,
                     unsigned int type, int busyRetryMs);
    ~AlsaSendingPort();

    bool isOpen() const noexcept { return port >= 0; }

    /** Why the port could not be made; empty when it is open. */
    const juce::String& getOpenError() const noexcept { return openError; }

    /** Connects the port to another client's port; 0, or the sequencer's negative error. */
    int connectTo (int client, int destinationPort);

    /** Whether the connection that connectTo made still exists: it goes with the other port, also
        when a port of the same number is made again in its place. */
    bool isConnectedTo (int client, int destinationPort);

    /** Hands the bytes of a SysEx (or a piece of one) to the sequencer as one event, to whoever
        is subscribed or connected; 0, or the sequencer's negative error. */
    int sendSysexPiece (const juce::uint8* data, size_t size);

    /** Encodes the bytes as short MIDI messages and hands each to the sequencer as it is
        whole; 0, -EINVAL for bytes that are no MIDI message, or the sequencer's error. */
    int sendShortMessages (const juce::uint8* data, size_t size);

    /** Why the last send failed, in words. */
    const juce::String& getLastFailure() const noexcept { return lastFailure; }

private:
    int output (void* event);

    std::shared_ptr<AlsaSendingClient> client;
    void* encoder = nullptr; // snd_midi_event_t
    int port = -1;
    const int busyRetryMs;
    juce::String openError, lastFailure;

    JUCE_DECLARE_NON_COPYABLE (AlsaSendingPort)
};
