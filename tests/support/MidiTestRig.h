#pragma once

#include "midi/MIDIPortsSelector.h"
#include "midi/VirtualMidiPorts.h"
#include "simulator/SimulatedInstrument.h"

#include <juce_events/juce_events.h>

/** A virtual bus, a selector working over it, and helpers to run polls on a worker thread while
    the test thread (the message thread) pumps the message loop that port opens are marshalled to. */
struct MidiTestRig
{
    MidiTestRig() { selector.setPorts (ports); }

    static SimulatedInstrument::Settings instrument (int family, const juce::String& version = "2.1.12")
    {
        SimulatedInstrument::Settings s;
        s.family = family;
        s.version = version;
        s.replyLatencyMs = 5;
        s.reattachMs = 30;
        s.eraseReattachMs = 20;
        return s;
    }

    /** Runs the poll on a worker thread; when stopAfterMs >= 0, asks the worker to stop after that
        long. Returns the poll's result and how long it took. */
    std::pair<PollingResult, double> pollOnWorker (std::function<PollingResult()> poll, int stopAfterMs = -1);

    std::shared_ptr<VirtualMidiPorts> ports = std::make_shared<VirtualMidiPorts>();
    MIDIPortsSelector selector;
};

std::vector<juce::uint8> midiBytes (std::initializer_list<int> bytes);
