#include "AlsaPiecewiseOutput.h"

#include <cerrno>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>

namespace
{
    // For the short messages that are not SysEx: the encoder's buffer holds any of them.
    constexpr size_t shortMessageBytes = 16;
}

AlsaPiecewiseOutput::AlsaPiecewiseOutput (const juce::String& clientName, const juce::String& portName, int pieceBytesToUse)
    : pieceBytes (pieceBytesToUse)
{
    snd_seq_t* seq = nullptr;

    // Non-blocking: a reader whose input is full refuses the reply (-EAGAIN), as it refuses a
    // hardware port's, instead of stopping the device.
    if (pieceBytes < 1 || snd_seq_open (&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0 || seq == nullptr)
        return;

    snd_midi_event_t* midiEncoder = nullptr;
    snd_seq_set_client_name (seq, clientName.toRawUTF8());
    port = snd_seq_create_simple_port (seq, portName.toRawUTF8(), SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);

    if (port < 0 || snd_midi_event_new (shortMessageBytes, &midiEncoder) < 0)
    {
        snd_seq_close (seq);
        port = -1;
        return;
    }

    handle = seq;
    encoder = midiEncoder;
}

AlsaPiecewiseOutput::~AlsaPiecewiseOutput()
{
    if (encoder != nullptr)
        snd_midi_event_free (static_cast<snd_midi_event_t*> (encoder));

    if (handle != nullptr)
        snd_seq_close (static_cast<snd_seq_t*> (handle));
}

int AlsaPiecewiseOutput::send (const juce::MidiMessage& message)
{
    if (handle == nullptr)
        return -ENODEV;

    auto* seq = static_cast<snd_seq_t*> (handle);
    const auto* data = message.getRawData();
    const auto size = (size_t) juce::jmax (0, message.getRawDataSize());

    auto output = [this, seq] (snd_seq_event_t& event)
    {
        snd_seq_ev_set_source (&event, port);
        snd_seq_ev_set_subs (&event);
        snd_seq_ev_set_direct (&event);
        return juce::jmin (0, snd_seq_event_output_direct (seq, &event));
    };

    if (! message.isSysEx())
    {
        auto* midiEncoder = static_cast<snd_midi_event_t*> (encoder);
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        const auto used = snd_midi_event_encode (midiEncoder, data, (long) size, &event);
        snd_midi_event_reset_encode (midiEncoder);

        if (used < 0)
            return (int) used;

        return event.type == SND_SEQ_EVENT_NONE ? -EINVAL : output (event);
    }

    // As the kernel's MIDI driver passes on a SysEx from a hardware port: a piece whenever its
    // buffer is full, the rest with the F7. A message of whole pieces plus its F7 ends in a
    // piece that is the F7 alone.
    for (size_t offset = 0; offset < size; offset += (size_t) pieceBytes)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        // What snd_seq_ev_set_sysex does, without its narrowing of the flags.
        event.type = SND_SEQ_EVENT_SYSEX;
        event.flags = (unsigned char) ((event.flags & ~SND_SEQ_EVENT_LENGTH_MASK) | SND_SEQ_EVENT_LENGTH_VARIABLE);
        event.data.ext.len = (unsigned int) juce::jmin ((size_t) pieceBytes, size - offset);
        event.data.ext.ptr = const_cast<juce::uint8*> (data + offset);

        if (const auto result = output (event); result < 0)
            return result;
    }

    return 0;
}
#else
AlsaPiecewiseOutput::AlsaPiecewiseOutput (const juce::String&, const juce::String&, int pieceBytesToUse) : pieceBytes (pieceBytesToUse) {}
AlsaPiecewiseOutput::~AlsaPiecewiseOutput() = default;
int AlsaPiecewiseOutput::send (const juce::MidiMessage&) { return -ENODEV; }
#endif
