#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <mutex>

/** Lists the ALSA sequencer's MIDI ports exactly as the framework lists its devices (the same
    names, the same "client-port" identifiers, in the same order), through one sequencer client
    that stays open (Linux).

    The framework opens and closes a sequencer client of its own for every list it reads while
    no port is open, and the updater reads both lists ten times a second while it looks for an
    instrument; one client kept open makes a list a handful of queries.

    Any thread may call; calls are serialised. Elsewhere (no ALSA) it never opens.
*/
class AlsaPortList final
{
public:
    AlsaPortList() = default;
    ~AlsaPortList();

    /** Opens the client unless it is open; false when the sequencer cannot be opened. */
    bool open();

    /** The ports a program can read from (inputs) or write to (outputs); empty when not open. */
    juce::Array<juce::MidiDeviceInfo> list (bool inputs);

private:
    std::mutex lock;
    void* handle = nullptr; // snd_seq_t, guarded by lock

    JUCE_DECLARE_NON_COPYABLE (AlsaPortList)
};
