#include "AlsaSysexStream.h"

#if JUCE_LINUX
 #include <alsa/asoundlib.h>

namespace
{
    // Events stay small enough for the sequencer's memory pool; the receiver sees one stream.
    constexpr size_t maxEventBytes = 256;
    // A full pool on the way is waited out this long, in short steps, before a send fails.
    constexpr int busyRetryMs = 200;
    constexpr int busyStepMs = 2;
}

AlsaSysexStream::AlsaSysexStream (const juce::String& destination)
{
    const auto clientText = destination.upToFirstOccurrenceOf ("-", false, false);
    const auto portText = destination.fromFirstOccurrenceOf ("-", false, false);

    if (! clientText.containsOnly ("0123456789") || ! portText.containsOnly ("0123456789")
        || clientText.isEmpty() || portText.isEmpty() || clientText.length() > 5 || portText.length() > 5)
        return;

    snd_seq_t* seq = nullptr;

    if (snd_seq_open (&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0 || seq == nullptr)
        return;

    snd_seq_set_client_name (seq, "Vorn Firmware Updater SysEx");
    port = snd_seq_create_simple_port (seq, "SysEx", SND_SEQ_PORT_CAP_READ,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);

    if (port < 0 || snd_seq_connect_to (seq, port, clientText.getIntValue(), portText.getIntValue()) < 0)
    {
        snd_seq_close (seq);
        port = -1;
        return;
    }

    handle = seq;
}

AlsaSysexStream::~AlsaSysexStream()
{
    if (handle != nullptr)
        snd_seq_close (static_cast<snd_seq_t*> (handle));
}

bool AlsaSysexStream::send (const juce::uint8* data, size_t size)
{
    if (handle == nullptr)
        return false;

    auto* seq = static_cast<snd_seq_t*> (handle);

    for (size_t offset = 0; offset < size; offset += maxEventBytes)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        snd_seq_ev_set_source (&event, port);
        snd_seq_ev_set_subs (&event);
        snd_seq_ev_set_direct (&event);
        // What snd_seq_ev_set_sysex does, without its narrowing of the flags.
        event.type = SND_SEQ_EVENT_SYSEX;
        event.flags = (unsigned char) ((event.flags & ~SND_SEQ_EVENT_LENGTH_MASK) | SND_SEQ_EVENT_LENGTH_VARIABLE);
        event.data.ext.len = (unsigned int) juce::jmin (maxEventBytes, size - offset);
        event.data.ext.ptr = const_cast<juce::uint8*> (data + offset);

        for (int waited = 0;; waited += busyStepMs)
        {
            const auto result = snd_seq_event_output_direct (seq, &event);

            if (result >= 0)
                break;

            if (result != -EAGAIN || waited >= busyRetryMs)
                return false;

            juce::Thread::sleep (busyStepMs);
        }
    }

    return true;
}
#else
AlsaSysexStream::AlsaSysexStream (const juce::String&) {}
AlsaSysexStream::~AlsaSysexStream() = default;
bool AlsaSysexStream::send (const juce::uint8*, size_t) { return false; }
#endif
