#include "AlsaSendingClient.h"

#include <cerrno>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>

namespace
{
    // The encoder's buffer holds any short message.
    constexpr size_t shortMessageBytes = 16;
    constexpr int busyStepMs = 2;
}

AlsaSendingClient::AlsaSendingClient (const juce::String& clientName, const juce::String& portName,
                                      unsigned int capabilities, unsigned int type, int retryMs)
    : busyRetryMs (retryMs)
{
    snd_seq_t* seq = nullptr;

    if (const auto result = snd_seq_open (&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK); result < 0 || seq == nullptr)
    {
        openError = "the sequencer refused a client: " + describe (result < 0 ? result : -ENOMEM);
        return;
    }

    snd_seq_set_client_name (seq, clientName.toRawUTF8());
    port = snd_seq_create_simple_port (seq, portName.toRawUTF8(), capabilities, type);

    if (port < 0)
    {
        openError = "the sequencer refused a port: " + describe (port);
        snd_seq_close (seq);
        return;
    }

    snd_midi_event_t* midiEncoder = nullptr;

    if (const auto result = snd_midi_event_new (shortMessageBytes, &midiEncoder); result < 0)
    {
        openError = "no MIDI event encoder: " + describe (result);
        snd_seq_close (seq);
        port = -1;
        return;
    }

    sequencer = seq;
    encoder = midiEncoder;
}

AlsaSendingClient::~AlsaSendingClient()
{
    if (encoder != nullptr)
        snd_midi_event_free (static_cast<snd_midi_event_t*> (encoder));

    if (sequencer != nullptr)
        snd_seq_close (static_cast<snd_seq_t*> (sequencer));
}

juce::String AlsaSendingClient::describe (int error)
{
    return juce::String (snd_strerror (error)) + " (" + juce::String (error) + ")";
}

int AlsaSendingClient::connectTo (int client, int destinationPort)
{
    return isOpen() ? snd_seq_connect_to (static_cast<snd_seq_t*> (sequencer), port, client, destinationPort) : -ENODEV;
}

bool AlsaSendingClient::isConnectedTo (int client, int destinationPort)
{
    if (! isOpen())
        return false;

    auto* seq = static_cast<snd_seq_t*> (sequencer);
    snd_seq_port_subscribe_t* subscription = nullptr;
    snd_seq_port_subscribe_alloca (&subscription);
    snd_seq_addr_t sender { (unsigned char) snd_seq_client_id (seq), (unsigned char) port };
    snd_seq_addr_t destination { (unsigned char) client, (unsigned char) destinationPort };
    snd_seq_port_subscribe_set_sender (subscription, &sender);
    snd_seq_port_subscribe_set_dest (subscription, &destination);
    return snd_seq_get_port_subscription (seq, subscription) == 0;
}

int AlsaSendingClient::sendSysexPiece (const juce::uint8* data, size_t size)
{
    snd_seq_event_t event;
    snd_seq_ev_clear (&event);
    // What snd_seq_ev_set_sysex does, without its narrowing of the flags.
    event.type = SND_SEQ_EVENT_SYSEX;
    event.flags = (unsigned char) ((event.flags & ~SND_SEQ_EVENT_LENGTH_MASK) | SND_SEQ_EVENT_LENGTH_VARIABLE);
    event.data.ext.len = (unsigned int) size;
    event.data.ext.ptr = const_cast<juce::uint8*> (data);
    return output (&event);
}

int AlsaSendingClient::sendShortMessages (const juce::uint8* data, size_t size)
{
    if (! isOpen())
        return -ENODEV;

    auto* parser = static_cast<snd_midi_event_t*> (encoder);
    snd_midi_event_reset_encode (parser);

    for (size_t offset = 0; offset < size;)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        const auto used = snd_midi_event_encode (parser, data + offset, (long) (size - offset), &event);

        if (used <= 0)
        {
            lastFailure = "bytes that are no MIDI message";
            return -EINVAL;
        }

        offset += (size_t) used;

        if (event.type == SND_SEQ_EVENT_NONE)
            continue; // not a whole message yet

        if (const auto result = output (&event); result < 0)
            return result;
    }

    return 0;
}

int AlsaSendingClient::output (void* eventToSend)
{
    if (! isOpen())
    {
        lastFailure = openError;
        return -ENODEV;
    }

    auto* event = static_cast<snd_seq_event_t*> (eventToSend);
    snd_seq_ev_set_source (event, port);
    snd_seq_ev_set_subs (event);
    snd_seq_ev_set_direct (event);

    auto* seq = static_cast<snd_seq_t*> (sequencer);

    for (int waited = 0;; waited += busyStepMs)
    {
        const auto result = snd_seq_event_output_direct (seq, event);

        if (result >= 0)
            return 0;

        if (result != -EAGAIN)
        {
            lastFailure = "the sequencer refused an event of " + juce::String (snd_seq_event_length (event)) + " bytes: " + describe (result);
            return result;
        }

        if (busyRetryMs == 0)
        {
            lastFailure = "the receiver's queue was full, and the sequencer drops the whole queue of a receiver"
                          " it refused an event for: " + describe (result);
            return result;
        }

        if (waited >= busyRetryMs)
        {
            lastFailure = "the receiver took nothing for " + juce::String (busyRetryMs) + " ms: " + describe (result);
            return result;
        }

        if (juce::Thread::currentThreadShouldExit())
        {
            lastFailure = "stopped while the receiver was full: " + describe (result);
            return result;
        }

        juce::Thread::sleep (busyStepMs);
    }
}
#else
AlsaSendingClient::AlsaSendingClient (const juce::String&, const juce::String&, unsigned int, unsigned int, int retryMs)
    : busyRetryMs (retryMs), openError ("no ALSA sequencer on this system") {}
AlsaSendingClient::~AlsaSendingClient() = default;
juce::String AlsaSendingClient::describe (int error) { return juce::String (error); }
int AlsaSendingClient::connectTo (int, int) { return -ENODEV; }
bool AlsaSendingClient::isConnectedTo (int, int) { return false; }
int AlsaSendingClient::sendSysexPiece (const juce::uint8*, size_t) { return -ENODEV; }
int AlsaSendingClient::sendShortMessages (const juce::uint8*, size_t) { return -ENODEV; }
int AlsaSendingClient::output (void*) { return -ENODEV; }
#endif
