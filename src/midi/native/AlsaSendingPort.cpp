#include "AlsaSendingPort.h"
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

AlsaSendingPort::AlsaSendingPort (std::shared_ptr<AlsaSendingClient> clientToUse, const juce::String& portName,
                                  unsigned int capabilities, unsigned int type, int retryMs)
    : client (std::move (clientToUse)), busyRetryMs (retryMs)
{
    if (client == nullptr || ! client->isOpen())
    {
        openError = client != nullptr ? client->getOpenError() : juce::String ("no sequencer client");
        return;
    }

    snd_midi_event_t* midiEncoder = nullptr;

    if (const auto result = snd_midi_event_new (shortMessageBytes, &midiEncoder); result < 0)
    {
        openError = "no MIDI event encoder: " + AlsaSendingClient::describe (result);
        return;
    }

    encoder = midiEncoder;
    const auto made = client->createPort (portName, capabilities, type);

    if (made < 0)
    {
        openError = "the sequencer refused a port: " + AlsaSendingClient::describe (made);
        return;
    }

    port = made;
}

AlsaSendingPort::~AlsaSendingPort()
{
    if (port >= 0)
        client->deletePort (port); // a failure leaves the port to go with the client

    if (encoder != nullptr)
        snd_midi_event_free (static_cast<snd_midi_event_t*> (encoder));
}

int AlsaSendingPort::connectTo (int destinationClient, int destinationPort)
{
    return isOpen() ? client->connect (port, destinationClient, destinationPort) : -ENODEV;
}

bool AlsaSendingPort::isConnectedTo (int destinationClient, int destinationPort)
{
    return isOpen() && client->isConnected (port, destinationClient, destinationPort);
}

int AlsaSendingPort::sendSysexPiece (const juce::uint8* data, size_t size)
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

int AlsaSendingPort::sendShortMessages (const juce::uint8* data, size_t size)
{
    if (! isOpen())
    {
        lastFailure = openError;
        return -ENODEV;
    }

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

int AlsaSendingPort::output (void* eventToSend)
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

    for (int waited = 0;; waited += busyStepMs)
    {
        const auto result = client->outputDirect (event);

        if (result >= 0)
            return 0;

        if (result != -EAGAIN)
        {
            lastFailure = "the sequencer refused an event of " + juce::String (snd_seq_event_length (event)) + " bytes: "
                        + AlsaSendingClient::describe (result);
            return result;
        }

        if (busyRetryMs == 0)
        {
            lastFailure = "the receiver's queue was full, and the sequencer drops the whole queue of a receiver"
                          " it refused an event for: " + AlsaSendingClient::describe (result);
            return result;
        }

        if (waited >= busyRetryMs)
        {
            lastFailure = "the receiver took nothing for " + juce::String (busyRetryMs) + " ms: " + AlsaSendingClient::describe (result);
            return result;
        }

        if (juce::Thread::currentThreadShouldExit())
        {
            lastFailure = "stopped while the receiver was full: " + AlsaSendingClient::describe (result);
            return result;
        }

        juce::Thread::sleep (busyStepMs);
    }
}
#else
AlsaSendingPort::AlsaSendingPort (std::shared_ptr<AlsaSendingClient> clientToUse, const juce::String&, unsigned int, unsigned int, int retryMs)
    : client (std::move (clientToUse)), busyRetryMs (retryMs), openError ("no ALSA sequencer on this system") {}
AlsaSendingPort::~AlsaSendingPort() = default;
int AlsaSendingPort::connectTo (int, int) { return -ENODEV; }
bool AlsaSendingPort::isConnectedTo (int, int) { return false; }
int AlsaSendingPort::sendSysexPiece (const juce::uint8*, size_t) { return -ENODEV; }
int AlsaSendingPort::sendShortMessages (const juce::uint8*, size_t) { return -ENODEV; }
int AlsaSendingPort::output (void*) { return -ENODEV; }
#endif
