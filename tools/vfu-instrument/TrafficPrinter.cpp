#include "TrafficPrinter.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cstring>
#include <iostream>

namespace
{
    // Identity requests and replies are printed byte by byte; images and other long SysEx are not.
    constexpr size_t longestPrintedBytes = 32;

    juce::String quoted (const juce::String& name)
    {
        return "\"" + name.replace ("\\", "\\\\").replace ("\"", "\\\"") + "\"";
    }
}

TrafficPrinter::TrafficPrinter (std::function<juce::String()> describe)
    : describeState (std::move (describe)),
      startMs (juce::Time::getMillisecondCounterHiRes())
{
}

void TrafficPrinter::print (const juce::String& text)
{
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - startMs) / 1000.0;
    const std::lock_guard<std::mutex> lock (mutex);
    std::cout << juce::String (seconds, 3).paddedLeft (' ', 8) << " " << text << std::endl;
}

juce::String TrafficPrinter::describe (const juce::uint8* data, size_t size, bool complete)
{
    if (complete && size <= longestPrintedBytes)
        return juce::String::toHexString (data, (int) size).toUpperCase();

    const auto digest = juce::SHA256 (data, size).toHexString();
    return juce::String (complete ? "SysEx" : "SysEx cut off") + " bytes=" + juce::String ((juce::int64) size)
           + " sha256=" + digest;
}

void TrafficPrinter::portsChanged (const juce::String& inputName, const juce::String& outputName, bool present)
{
    if (present)
        portsAppeared = true;

    auto line = "ports in " + quoted (inputName) + " out " + quoted (outputName) + (present ? " created" : " removed");

    if (present && describeState != nullptr)
    {
        const auto state = describeState();

        if (state.isNotEmpty())
            line << " (" << state << ")";
    }

    print (line);
}

void TrafficPrinter::messageReceived (const juce::String& portName, const std::vector<juce::uint8>& bytes, bool complete)
{
    print ("in  " + quoted (portName) + " " + describe (bytes.data(), bytes.size(), complete));
}

void TrafficPrinter::messageSent (const juce::String& portName, const juce::MidiMessage& message)
{
    print ("out " + quoted (portName) + " "
           + describe (message.getRawData(), (size_t) juce::jmax (0, message.getRawDataSize()), true));
}

void TrafficPrinter::messageRefused (const juce::String& portName, const juce::MidiMessage& message, int error)
{
    print ("out " + quoted (portName) + " refused (" + juce::String::fromUTF8 (std::strerror (-error)) + "): "
           + describe (message.getRawData(), (size_t) juce::jmax (0, message.getRawDataSize()), true));
}

void TrafficPrinter::cableOverrun (const juce::String& portName, size_t lostBytes, size_t eventBytes)
{
    print ("MIDI output buffer overrun: " + quoted (portName) + " lost " + juce::String ((juce::int64) lostBytes)
           + " of an event's " + juce::String ((juce::int64) eventBytes) + " bytes");
}
