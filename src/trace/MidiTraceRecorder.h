#pragma once

#include "MidiTrace.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <memory>

class MidiPorts;

/** Appends MIDI events to a trace file. Recording sits on the sending thread's path, so it only
    stamps the time and queues the bytes under a short lock; a thread of its own
    ("MidiTraceRecorder") formats the lines, digests image runs and writes them.

    A firmware image is not written byte for byte: while an image run is open (ImageRun), the
    packets sent are collected and written as one line with the entry name, packet count, byte
    count and SHA-256 when the run ends or a port list change splits it.

    Threads: every function may be called from any thread. Destruction writes what is queued.
*/
class MidiTraceRecorder final : private juce::Thread
{
public:
    /** Opens the file (emptying a regular file, never deleting anything; anything but a regular
        file is refused) and writes the first lines; isOpen() says whether it worked, and
        getOpenError() why not. */
    MidiTraceRecorder (const juce::File& file, const juce::String& programVersion, const juce::String& deviceName);
    ~MidiTraceRecorder() override;

    bool isOpen() const noexcept { return opened; }
    juce::String getOpenError() const { return openError; }

    /** Stops the writer thread, waiting up to timeoutMs, then writes what is queued and the open
        image run on the calling thread. False, with nothing written, when the writer did not stop
        in time. For a process about to end without destructors; later records are not written. */
    bool finishWithin (int timeoutMs);

    void recordOut (const juce::String& port, const juce::MidiMessage& message);
    void recordIn (const juce::String& port, const juce::MidiMessage& message);
    void recordPorts (const juce::StringArray& inputs, const juce::StringArray& outputs);
    /** A "# key value" line. */
    void recordNote (const juce::String& key, const juce::String& value);

    void beginImageRun (const juce::String& entryName);
    void endImageRun();

    // The process-wide recording ------------------------------------------------------------

    /** Starts tracing everything the process-wide selector exchanges: wraps its ports (the real
        ones unless others were set) in TracingMidiPorts writing to file. Returns an error text,
        empty on success. Call before the engine starts, from the thread that sets up the ports. */
    static juce::String enableTracing (const juce::File& file, const juce::String& deviceName);

    /** Ends the process-wide tracing: gives the selector its unwrapped ports back and writes what is queued. */
    static void disableTracing();

    /** The process-wide recorder, or nullptr while none records. */
    static std::shared_ptr<MidiTraceRecorder> getActive();

    /** finishWithin() on the process-wide recorder, if any: before the process ends at once. */
    static void finishActiveWithin (int timeoutMs);

    /** Notes a header line on the process-wide recorder, if any. */
    static void note (const juce::String& key, const juce::String& value);

    /** Marks the packets sent during its life as one run of the named image on the process-wide
        recorder (if any). The sender's owner keeps one on the stack for the transfer. */
    class ImageRun final
    {
    public:
        explicit ImageRun (const juce::String& entryName);
        ~ImageRun();

    private:
        std::shared_ptr<MidiTraceRecorder> recorder;
        JUCE_DECLARE_NON_COPYABLE (ImageRun)
    };

private:
    struct Pending
    {
        MidiTrace::Event event;
        std::vector<juce::uint8> imageData; // an image run's bytes, digested on the writer thread
        juce::String note;                  // a header line, written as it is
    };

    void run() override;
    void push (Pending&& pending);
    void flushImageRunLocked();
    void writeQueued();
    double elapsedMs() const;

    std::unique_ptr<juce::OutputStream> stream; // the writer thread's (and, once it has ended, its owner's)
    bool opened = false;
    juce::String openError;
    const double startMs;

    juce::CriticalSection lock;
    // Guarded by lock:
    std::vector<Pending> queue;
    bool imageRunOpen = false;
    juce::String imageEntry, imagePort;
    std::vector<juce::uint8> imageBytes;
    juce::int64 imagePackets = 0;

    juce::WaitableEvent workToDo;

    JUCE_DECLARE_NON_COPYABLE (MidiTraceRecorder)
};
