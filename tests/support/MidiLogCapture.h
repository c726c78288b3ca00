#pragma once

#include <juce_core/juce_core.h>

/** Points the application log at a temporary file for the life of a test and reads back the
    texts of the lines written since (without their time stamps). */
class MidiLogCapture final
{
public:
    MidiLogCapture();
    ~MidiLogCapture();

    juce::StringArray lines() const;
    bool contains (const juce::String& text) const { return lines().contains (text); }
    int count (const juce::String& text) const;

private:
    juce::TemporaryFile file;
};
