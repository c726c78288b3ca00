#pragma once

#include <juce_core/juce_core.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

/** What the operating system puts between a MIDI program and a hardware MIDI port (Linux: the
    sequencer's MIDI driver in front of the port's raw MIDI output), with the cable behind it.

    Every event for the device is copied into a 4,096-byte buffer in chunks of 32 bytes; a chunk
    that does not fit is dropped and so is the rest of that event, while the sender has been told
    that all went well. The buffer drains into the device at the line rate (a DIN cable:
    3,125 bytes per second). A stall stops the draining for a while once a SysEx message has
    reached a given size, as a bootloader that is busy writing its flash stops reading.

    Threads: write() may be called from any thread and never waits for the line; drained bytes
    and overruns are reported on the cable's own thread ("SimMidiCable"), in order, with no lock
    held. Destruction stops that thread; bytes still in the buffer are lost.
*/
class SimMidiCable final : private juce::Thread
{
public:
    struct Settings
    {
        int bytesPerSecond = 3125;
        size_t stallAtSysexByte = 0; // 0: never stalls
        int stallMs = 0;
    };

    static constexpr size_t bufferBytes = 4096;
    static constexpr size_t chunkBytes = 32;

    /** Bytes that reached the device. */
    using Sink = std::function<void (const juce::uint8* data, size_t size)>;
    /** An event lost lostBytes of its size: its chunks from there on did not fit. */
    using Overrun = std::function<void (size_t lostBytes, size_t eventBytes)>;

    SimMidiCable (Settings settings, Sink sink, Overrun overrun);
    ~SimMidiCable() override;

    /** One event from the sequencer. Returns at once, whether or not it all fitted. */
    void write (const juce::uint8* data, size_t size);

private:
    void run() override;
    size_t deliverable (size_t due, bool commit);
    size_t sentByNow (double nowMs);

    const Settings settings;
    const double msPerByte;
    const Sink sink;
    const Overrun overrun;

    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex:
    std::deque<juce::uint8> buffer;     // what has not reached the device yet
    std::deque<size_t> overruns;        // lost and event bytes, in pairs
    bool stopping = false;
    bool lineIdle = true;               // nothing to send since the buffer last ran empty
    double lineClockMs = 0;             // when the line has sent everything it has delivered
    double stallEndMs = 0;
    bool inSysex = false;               // of the bytes delivered so far:
    size_t sysexBytes = 0;              // the current SysEx's, F0 included
    bool stalledThisSysex = false;

    JUCE_DECLARE_NON_COPYABLE (SimMidiCable)
};
