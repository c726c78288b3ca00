#include "AlsaSysexStream.h"

#if JUCE_LINUX
 #include <alsa/asoundlib.h>

namespace
{
    // Events stay far below what a receiver's input pool can hold (the kernel's default pool of
    // 200 cells takes one event of at most 5,572 bytes), and small enough that a receiver that
    // reads promptly always has room for the next one.
    constexpr size_t maxEventBytes = 256;

    // The client writes without blocking. A direct event that finds its receiver's pool full
    // is refused with -EAGAIN whichever mode the sender is in, and a blocking write could hang
    // the sending thread (the firmware sender, the engine) against a client that never reads,
    // where no stop request reaches it. So a full receiver is waited out here, in short steps,
    // for this long at most, and a stop request of the sending thread ends the wait at once.
    constexpr int busyRetryMs = 200;
    constexpr int busyStepMs = 2;

    juce::String describe (int error)
    {
        return juce::String (snd_strerror (error)) + " (" + juce::String (error) + ")";
    }
}

AlsaSysexStream::AlsaSysexStream (const juce::String& destination)
{
    const auto clientText = destination.upToFirstOccurrenceOf ("-", false, false);
    const auto portText = destination.fromFirstOccurrenceOf ("-", false, false);

    if (! clientText.containsOnly ("0123456789") || ! portText.containsOnly ("0123456789")
        || clientText.isEmpty() || portText.isEmpty() || clientText.length() > 5 || portText.length() > 5)
    {
        openError = "no ALSA sequencer port \"" + destination + "\"";
        return;
    }

    snd_seq_t* seq = nullptr;

    if (const auto result = snd_seq_open (&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK); result < 0 || seq == nullptr)
    {
        openError = "the sequencer refused a client: " + describe (result < 0 ? result : -ENOMEM);
        return;
    }

    snd_seq_set_client_name (seq, "Vorn Firmware Updater SysEx");
    port = snd_seq_create_simple_port (seq, "SysEx", SND_SEQ_PORT_CAP_READ,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);

    if (port < 0)
    {
        openError = "the sequencer refused a port: " + describe (port);
        snd_seq_close (seq);
        return;
    }

    if (const auto result = snd_seq_connect_to (seq, port, clientText.getIntValue(), portText.getIntValue()); result < 0)
    {
        openError = "the sequencer refused the connection to " + clientText + ":" + portText + ": " + describe (result);
        snd_seq_close (seq);
        port = -1;
        return;
    }

    snd_midi_event_t* parser = nullptr;

    if (const auto result = snd_midi_event_new (16, &parser); result < 0)
    {
        openError = "no MIDI event encoder: " + describe (result);
        snd_seq_close (seq);
        port = -1;
        return;
    }

    encoder = parser;
    handle = seq;
}

AlsaSysexStream::~AlsaSysexStream()
{
    if (encoder != nullptr)
        snd_midi_event_free (static_cast<snd_midi_event_t*> (encoder));

    if (handle != nullptr)
        snd_seq_close (static_cast<snd_seq_t*> (handle));
}

juce::Result AlsaSysexStream::send (const juce::uint8* data, size_t size)
{
    if (handle == nullptr)
        return juce::Result::fail (openError);

    if (size == 0)
        return juce::Result::ok();

    // A slice goes on the SysEx that this stream began, whatever its length (a packet of one
    // byte that is the closing F7 included); only a message that begins with its own status
    // byte outside a SysEx is a message of its own.
    if (insideSysex || data[0] == 0xf0 || data[0] < 0x80)
        return sendSysexBytes (data, size);

    return sendShortMessage (data, size);
}

juce::Result AlsaSysexStream::sendSysexBytes (const juce::uint8* data, size_t size)
{
    for (size_t offset = 0; offset < size; offset += maxEventBytes)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        // What snd_seq_ev_set_sysex does, without its narrowing of the flags.
        event.type = SND_SEQ_EVENT_SYSEX;
        event.flags = (unsigned char) ((event.flags & ~SND_SEQ_EVENT_LENGTH_MASK) | SND_SEQ_EVENT_LENGTH_VARIABLE);
        event.data.ext.len = (unsigned int) juce::jmin (maxEventBytes, size - offset);
        event.data.ext.ptr = const_cast<juce::uint8*> (data + offset);

        const auto result = output (&event);

        if (result.failed())
            return result;
    }

    // Where the stream stands now: inside a SysEx when its last F0 or F7 was an F0.
    for (auto i = size; i > 0; --i)
    {
        if (data[i - 1] == 0xf7) { insideSysex = false; break; }
        if (data[i - 1] == 0xf0) { insideSysex = true; break; }
    }

    return juce::Result::ok();
}

juce::Result AlsaSysexStream::sendShortMessage (const juce::uint8* data, size_t size)
{
    auto* parser = static_cast<snd_midi_event_t*> (encoder);
    snd_midi_event_reset_encode (parser);

    for (size_t offset = 0; offset < size;)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        const auto used = snd_midi_event_encode (parser, data + offset, (long) (size - offset), &event);

        if (used <= 0)
            return juce::Result::fail ("bytes that are no MIDI message");

        offset += (size_t) used;

        if (event.type == SND_SEQ_EVENT_NONE)
            continue; // not a whole message yet

        const auto result = output (&event);

        if (result.failed())
            return result;
    }

    return juce::Result::ok();
}

juce::Result AlsaSysexStream::output (void* eventToSend)
{
    auto* event = static_cast<snd_seq_event_t*> (eventToSend);
    snd_seq_ev_set_source (event, port);
    snd_seq_ev_set_subs (event);
    snd_seq_ev_set_direct (event);

    auto* seq = static_cast<snd_seq_t*> (handle);

    for (int waited = 0;; waited += busyStepMs)
    {
        const auto result = snd_seq_event_output_direct (seq, event);

        if (result >= 0)
            return juce::Result::ok();

        if (result != -EAGAIN)
            return juce::Result::fail ("the sequencer refused an event of " + juce::String (snd_seq_event_length (event))
                                       + " bytes: " + describe (result));

        if (waited >= busyRetryMs)
            return juce::Result::fail ("the receiver took nothing for " + juce::String (busyRetryMs) + " ms: " + describe (result));

        if (juce::Thread::currentThreadShouldExit())
            return juce::Result::fail ("stopped while the receiver was full: " + describe (result));

        juce::Thread::sleep (busyStepMs);
    }
}
#else
AlsaSysexStream::AlsaSysexStream (const juce::String&) : openError ("no ALSA sequencer on this system") {}
AlsaSysexStream::~AlsaSysexStream() = default;
juce::Result AlsaSysexStream::send (const juce::uint8*, size_t) { return juce::Result::fail (openError); }
juce::Result AlsaSysexStream::sendSysexBytes (const juce::uint8*, size_t) { return juce::Result::fail (openError); }
juce::Result AlsaSysexStream::sendShortMessage (const juce::uint8*, size_t) { return juce::Result::fail (openError); }
juce::Result AlsaSysexStream::output (void*) { return juce::Result::fail (openError); }
#endif
