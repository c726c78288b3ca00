#include "MidiLogCapture.h"

#include "base/AppLog.h"

MidiLogCapture::MidiLogCapture()
{
    AppLog::createLogAt (file.getFile(), "test log");
}

MidiLogCapture::~MidiLogCapture()
{
    AppLog::closeLog();
}

juce::StringArray MidiLogCapture::lines() const
{
    juce::StringArray texts;

    for (auto& line : juce::StringArray::fromLines (file.getFile().loadFileAsString()))
        if (line.contains (" - "))
            texts.add (line.fromFirstOccurrenceOf (" - ", false, false));

    return texts;
}

int MidiLogCapture::count (const juce::String& text) const
{
    int n = 0;

    for (auto& line : lines())
        n += line == text ? 1 : 0;

    return n;
}
