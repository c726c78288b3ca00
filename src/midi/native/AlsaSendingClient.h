#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <mutex>

/** An ALSA sequencer client that only sends, without blocking, from ports that AlsaSendingPort
    makes on it.

    The program sends through one such client for as long as it runs (shared()): every client that
    comes and goes is announced to every MIDI program on the machine, and users see each one in
    their client lists. A simulated device whose client carries a name of its own opens one for
    itself (the constructor).

    Linux only: elsewhere it never opens.

    Threads: any thread may call any function, several at once (the engine's thread, poll threads,
    several selectors in the tests). Each call holds the client's mutex for one call into the
    sequencer, which does not wait: the client is non-blocking, so an event for a full receiver
    is refused at once. No sleep or wait happens under the mutex.
*/
class AlsaSendingClient final
{
public:
    /** Opens a client of its own, named clientName. */
    explicit AlsaSendingClient (const juce::String& clientName);
    ~AlsaSendingClient();

    /** The program's sending client, named sharedClientName: the one in use, or, when nobody holds
        one, a client opened now (on the calling thread, under no lock). A client that could not
        be opened is returned too (with its reason), but not kept: the next call tries again, since
        the sequencer may appear later. The client closes when its last holder lets go of it. */
    static std::shared_ptr<AlsaSendingClient> shared();

    static constexpr const char* sharedClientName = "Vorn Firmware Updater SysEx";

    bool isOpen() const noexcept { return sequencer != nullptr; }

    /** Why the client could not be opened; empty when it is open. */
    const juce::String& getOpenError() const noexcept { return openError; }

    /** Makes a port (SND_SEQ_PORT_CAP_* and SND_SEQ_PORT_TYPE_* flags); its number, or the
        sequencer's negative error. */
    int createPort (const juce::String& portName, unsigned int capabilities, unsigned int type);

    /** Deletes a port that createPort made, and with it its connections; 0 or the negative error. */
    int deletePort (int port);

    /** Connects one of this client's ports to another client's port; 0, or the negative error. */
    int connect (int port, int destinationClient, int destinationPort);

    /** Whether that connection still exists: it goes with the other port, also when a port of the
        same number is made again in its place. */
    bool isConnected (int port, int destinationClient, int destinationPort);

    /** Hands one event (a snd_seq_event_t, its source port set) to the sequencer directly; what
        snd_seq_event_output_direct returns. */
    int outputDirect (void* event);

    /** "Resource temporarily unavailable (-11)": the library's text with the number. */
    static juce::String describe (int error);

private:
    void* sequencer = nullptr; // snd_seq_t
    int clientId = -1;
    std::mutex mutex;          // guards every call into the sequencer through this client
    juce::String openError;

    JUCE_DECLARE_NON_COPYABLE (AlsaSendingClient)
};
