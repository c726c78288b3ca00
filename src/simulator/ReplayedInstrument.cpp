#include "ReplayedInstrument.h"
#include "../base/AppLog.h"

#include <juce_cryptography/juce_cryptography.h>

#include <set>

namespace
{
    // The longest single wait for a recorded moment (a stop ends any wait at once).
    constexpr double longestWaitMs = 3600000.0;
}

class ReplayedInstrument::OutputTap final : public VirtualMidiPorts::Device
{
public:
    OutputTap (ReplayedInstrument& o, const juce::String& n) : owner (o), name (n) {}

    void receivedFromUpdater (const juce::MidiMessage& message) override { owner.received (name, message); }

private:
    ReplayedInstrument& owner;
    const juce::String name;
};

ReplayedInstrument::ReplayedInstrument (VirtualMidiPorts& b, MidiTrace t)
    : juce::Thread ("ReplayedInstrument"), bus (b), trace (std::move (t))
{
    anchorRealMs = juce::Time::getMillisecondCounterHiRes();
    startThread();
}

ReplayedInstrument::~ReplayedInstrument()
{
    signalThreadShouldExit();
    wake.signal();
    stopThread (4000);
    pullEverything();
}

void ReplayedInstrument::received (const juce::String& port, const juce::MidiMessage& message)
{
    if (departed || finished)
        return;

    {
        const juce::ScopedLock sl (lock);
        requests.push_back ({ port, std::vector<juce::uint8> (message.getRawData(), message.getRawData() + message.getRawDataSize()) });
    }

    wake.signal();
}

void ReplayedInstrument::run()
{
    using Kind = MidiTrace::Event::Kind;
    const auto& events = trace.events;
    std::set<juce::String> matchedRequests; // "port bytes" of every request matched so far
    int lastMatched = -1;

    auto matches = [] (const MidiTrace::Event& e, const Request& r) { return e.kind == Kind::out && e.port == r.port && e.bytes == r.bytes; };
    auto keyOf = [] (const juce::String& port, const std::vector<juce::uint8>& bytes) { return port + " " + MidiTrace::toHex (bytes.data(), bytes.size()); };

    auto matchedAt = [&] (size_t index)
    {
        anchorTraceMs = events[index].ms;
        anchorRealMs = juce::Time::getMillisecondCounterHiRes();
        lastMatched = (int) index;
    };

    for (size_t i = 0; i < events.size() && ! threadShouldExit();)
    {
        const auto& event = events[i];

        if (event.kind == Kind::ports || event.kind == Kind::in)
        {
            if (! waitUntilDue (event.ms))
                return;

            if (event.kind == Kind::ports)
                applyPorts (event);
            else
                sendReply (event);

            ++i;
            continue;
        }

        if (outputPlugs.count (event.port) == 0)
        {
            ++i;
            continue;
        }

        if (event.kind == Kind::image)
        {
            if (! matchImage (event))
                return;

            matchedAt (i++);
            continue;
        }

        Request request;

        if (! nextRequest (request))
            return;

        if (matches (event, request))
        {
            matchedRequests.insert (keyOf (request.port, request.bytes));
            matchedAt (i++);
            continue;
        }

        // How often a program polls while it waits depends on timing, so a repeated poll is not
        // a departure. One more than recorded gets the replies the last one got...
        if (lastMatched >= 0 && matches (events[(size_t) lastMatched], request))
        {
            answerAgain ((size_t) lastMatched);
            continue;
        }

        // ...and fewer than recorded skip the recorded repeats (with their replies).
        auto next = i;

        while (next < events.size() && ! matches (events[next], request)
               && (events[next].kind == Kind::in
                   || (events[next].kind == Kind::out && matchedRequests.count (keyOf (events[next].port, events[next].bytes)) != 0)))
            ++next;

        if (next < events.size() && matches (events[next], request))
        {
            matchedAt (next);
            i = next + 1;
            continue;
        }

        depart (event, "out " + MidiTrace::quote (request.port) + " " + MidiTrace::toHex (request.bytes.data(), request.bytes.size()));
        return;
    }

    finished = true;
}

void ReplayedInstrument::answerAgain (size_t requestIndex)
{
    const auto& events = trace.events;
    const auto start = juce::Time::getMillisecondCounterHiRes();

    for (auto i = requestIndex + 1; i < events.size() && events[i].kind == MidiTrace::Event::Kind::in; ++i)
    {
        if (! sleepUntil (start + (events[i].ms - events[requestIndex].ms)))
            return;

        sendReply (events[i]);
    }
}

bool ReplayedInstrument::waitUntilDue (double traceMs)
{
    return sleepUntil (anchorRealMs + (traceMs - anchorTraceMs));
}

bool ReplayedInstrument::sleepUntil (double due)
{
    for (auto now = juce::Time::getMillisecondCounterHiRes(); now < due; now = juce::Time::getMillisecondCounterHiRes())
    {
        if (threadShouldExit())
            return false;

        wait ((int) std::ceil (juce::jmin (longestWaitMs, due - now))); // stopThread() notifies
    }

    return ! threadShouldExit();
}

bool ReplayedInstrument::nextRequest (Request& request)
{
    while (! threadShouldExit())
    {
        {
            const juce::ScopedLock sl (lock);

            if (! requests.empty())
            {
                request = std::move (requests.front());
                requests.pop_front();
                return true;
            }
        }

        wake.wait (-1); // received() and the destructor signal it
    }

    return false;
}

bool ReplayedInstrument::matchImage (const MidiTrace::Event& expected)
{
    std::vector<juce::uint8> collected;
    juce::int64 packets = 0;

    while ((juce::int64) collected.size() < expected.byteCount)
    {
        Request request;

        if (! nextRequest (request))
            return false;

        if (request.port != expected.port)
        {
            depart (expected, "out " + MidiTrace::quote (request.port) + " " + MidiTrace::toHex (request.bytes.data(), request.bytes.size())
                                  + " after " + juce::String ((juce::int64) collected.size()) + " bytes of the image");
            return false;
        }

        collected.insert (collected.end(), request.bytes.begin(), request.bytes.end());
        ++packets;
    }

    const auto digest = juce::SHA256 (collected.data(), collected.size()).toHexString();

    if ((juce::int64) collected.size() == expected.byteCount && digest == expected.sha256)
        return true;

    depart (expected, "an image of " + juce::String (packets) + " packets, " + juce::String ((juce::int64) collected.size())
                          + " bytes, sha256=" + digest);
    return false;
}

void ReplayedInstrument::depart (const MidiTrace::Event& expected, const juce::String& got)
{
    // Logged before the flag is raised: whoever sees the flag finds the reason in the log.
    logLine ("Replay: trace line " + juce::String (expected.line) + " expected " + MidiTrace::describe (expected)
             + " but the program sent " + got + "; the replayed instrument stops answering");
    departed = true;
}

void ReplayedInstrument::applyPorts (const MidiTrace::Event& event)
{
    auto update = [this] (std::map<juce::String, VirtualMidiPorts::PlugId>& plugs, const juce::StringArray& names, bool isInput)
    {
        for (auto it = plugs.begin(); it != plugs.end();)
        {
            if (names.contains (it->first))
            {
                ++it;
                continue;
            }

            bus.pullOut (it->second); // waits for a send to the tap under way

            if (! isInput)
            {
                // What was sent to a port that has gone never reached the recorded device either.
                const juce::ScopedLock sl (lock);
                const auto name = it->first;
                requests.erase (std::remove_if (requests.begin(), requests.end(),
                                                [&] (const Request& r) { return r.port == name; }),
                                requests.end());
            }

            it = plugs.erase (it);
        }

        for (int i = 0; i < names.size(); ++i)
        {
            if (plugs.count (names[i]) != 0)
                continue;

            if (isInput)
            {
                plugs[names[i]] = bus.plugIn (names[i], {}, nullptr, i, -1);
            }
            else
            {
                auto& tap = taps[names[i]];

                if (tap == nullptr)
                    tap = std::make_unique<OutputTap> (*this, names[i]);

                plugs[names[i]] = bus.plugIn ({}, names[i], tap.get(), -1, i);
            }
        }
    };

    update (inputPlugs, event.inputs, true);
    update (outputPlugs, event.outputs, false);
}

void ReplayedInstrument::sendReply (const MidiTrace::Event& event)
{
    const auto plug = inputPlugs.find (event.port);

    if (plug != inputPlugs.end() && ! departed)
        bus.sendToUpdater (plug->second, juce::MidiMessage (event.bytes.data(), (int) event.bytes.size(), 0.0));
}

void ReplayedInstrument::pullEverything()
{
    for (auto* plugs : { &inputPlugs, &outputPlugs })
    {
        for (auto& plug : *plugs)
            bus.pullOut (plug.second);

        plugs->clear();
    }
}
