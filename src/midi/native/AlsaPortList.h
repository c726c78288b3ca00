#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <cstdint>
#include <map>
#include <mutex>

/** Lists the ALSA sequencer's MIDI ports exactly as the framework lists its devices (the same
    names, the same "client-port" identifiers, in the same order), through one sequencer client
    that stays open (Linux).

    The updater asks for both lists ten times a second while it looks for an instrument. The
    client subscribes to the sequencer's announcements (System:Announce, client 0 port 1), so the
    lists are read again only after a client or port has come, gone or changed, and otherwise
    taken from the last reading. Kernels since 6.5 announce a client's or port's changed name
    (CLIENT_CHANGE, PORT_CHANGE); older ones do not, so the lists are also read again when the last
    reading is a few seconds old. Where the subscription cannot be made, every list is read afresh.
    The client's event filter keeps the announcements of connections (PORT_SUBSCRIBED and
    UNSUBSCRIBED, one for every connection any program makes or removes) out of its input pool. A
    read that finds the pool overflowed (-ENOSPC: the sequencer dropped what was queued) counts as
    announcements lost, so every port may have gone.

    It also tells, for the ports a caller keeps open, whether their port has gone since they were
    opened (departureStamp): a port that goes and comes back under the same number is a new port,
    whose old connections went with the old one.

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

    /** A number that changes whenever a reading of the lists gives other lists or other USB
        paths than the reading before (see MidiPorts::getListsGeneration). */
    std::uint64_t getListsGeneration();

    /** A number that stays the same for as long as the port ("client-port" or "client:port") has
        not been announced gone, neither it nor its client. Read it before opening a connection to
        the port; while it is unchanged, the connection still leads to that port. Without
        announcements it changes on every call, so that nothing is kept. */
    std::uint64_t departureStamp (const juce::String& identifier);

    /** The USB path of the sound card behind the port's client ("usb-dummy_hcd.0-1"), as the
        card's long name gives it, from the last reading; empty for a client without a card (a
        program's ports) or a card that is not on USB. */
    juce::String locationOf (const juce::String& identifier);

    /** The USB path in a card's long name ("Vorn Quorrel at usb-dummy_hcd.0-1, full speed"). */
    static juce::String usbPathInLongName (const juce::String& longName);

private:
    void readAnnouncements();       // under lock
    void readLists();               // under lock
    void markAllGone();             // under lock

    std::mutex lock;
    void* handle = nullptr;         // snd_seq_t, guarded by lock
    bool announced = false;         // subscribed to the announcements; guarded by lock
    bool stale = true;              // the lists must be read again; guarded by lock
    double lastReading = 0.0;       // when the lists were last read (ms counter); guarded by lock
    juce::Array<juce::MidiDeviceInfo> inputs, outputs; // the last reading, guarded by lock
    std::map<int, juce::String> clientLocations;       // client -> USB path, of the last reading; guarded by lock
    std::uint64_t listsGeneration = 1;                 // one more with every reading that changed them; guarded by lock

    // Departures, each stamped with the next serial: of every port at once (announcements
    // lost), of a client, of one port (client * 256 + port). Guarded by lock.
    std::uint64_t serial = 0, allGone = 0;
    std::map<int, std::uint64_t> clientGone, portGone;

    JUCE_DECLARE_NON_COPYABLE (AlsaPortList)
};
