#pragma once

#include "../trace/MidiTrace.h"
#include "../midi/VirtualMidiPorts.h"

#include <deque>
#include <map>

/** Plays the device side of a recorded trace on a VirtualMidiPorts bus.

    It walks the trace in order. Port list changes and incoming messages are carried out at their
    recorded delay after the last request that was matched (or after the start). At each request
    of the trace it waits for the updater to send the same bytes on the same port (an image run:
    the same byte count and SHA-256, packets collected as they come); a request sent where the
    trace has none, or different bytes, is logged with what the trace expected, and from then on
    the instrument answers nothing. Requests recorded on a port that is not plugged in at that
    point are skipped: the bus drops what is sent there, as the real port did.

    How often a program polls while it waits depends on timing, so repeats are not departures:
    one more repeat of the request matched last is answered with the replies that one got, and
    recorded repeats of requests already matched (with their replies) are skipped when the
    program has moved on to the next request.

    Threads: requests arrive on the sending thread and are queued; a thread of its own
    ("ReplayedInstrument") walks the trace. Destruction stops it and pulls its ports out.
*/
class ReplayedInstrument final : private juce::Thread
{
public:
    ReplayedInstrument (VirtualMidiPorts& bus, MidiTrace trace);
    ~ReplayedInstrument() override;

    /** True once a request departed from the trace, and its log line has been written. */
    bool hasDeparted() const noexcept { return departed.load(); }

    /** True once every event of the trace has been played or matched. */
    bool isFinished() const noexcept { return finished.load(); }

private:
    class OutputTap;
    struct Request
    {
        juce::String port;
        std::vector<juce::uint8> bytes;
    };

    void run() override;
    bool waitUntilDue (double traceMs);
    /** Sleeps until the real time (ms counter) given; false when asked to stop first. */
    bool sleepUntil (double dueRealMs);
    void answerAgain (size_t requestIndex);
    bool matchImage (const MidiTrace::Event& expected);
    bool nextRequest (Request& request);
    void depart (const MidiTrace::Event& expected, const juce::String& got);
    void applyPorts (const MidiTrace::Event& event);
    void sendReply (const MidiTrace::Event& event);
    void received (const juce::String& port, const juce::MidiMessage& message);
    void pullEverything();

    VirtualMidiPorts& bus;
    const MidiTrace trace;

    // The replay thread's own:
    double anchorTraceMs = 0.0, anchorRealMs = 0.0;
    std::map<juce::String, VirtualMidiPorts::PlugId> inputPlugs, outputPlugs;
    std::map<juce::String, std::unique_ptr<OutputTap>> taps;

    juce::CriticalSection lock;
    std::deque<Request> requests; // guarded by lock
    juce::WaitableEvent wake;
    std::atomic<bool> departed { false }, finished { false };

    JUCE_DECLARE_NON_COPYABLE (ReplayedInstrument)
};
