#pragma once

#include "engine/FirmwareUpdater.h"

#include <juce_events/juce_events.h>

#include <functional>
#include <mutex>

/** Records every engine report, in order, as short texts ("state none > Idle", "text Name=...").
    Reports arrive on the message thread, which in the tests is the test's own thread. */
class RecordingCallback final : public FirmwareUpdaterCallback
{
public:
    void stateChanged (const juce::String& from, const juce::String& to) override;
    void setTextField (const juce::String& name, const juce::String& text, bool visible) override;
    void setButton (const juce::String& name, const juce::String& text, bool enabled) override;
    void print (const juce::String& text) override;
    void setProgress (double progress) override;

    juce::StringArray events() const;
    juce::StringArray states() const;   // "from > to" of every stateChanged
    juce::String lastState() const;     // "to" of the last stateChanged
    juce::String lastText (const juce::String& fieldName) const;
    int count (const juce::String& prefix) const;
    void clear();

private:
    void add (const juce::String& event);

    mutable std::mutex lock;
    juce::StringArray recorded;
};

/** Runs the message loop on this thread until the condition holds or the time is up. */
bool pumpUntil (const std::function<bool()>& condition, int timeoutMs);

/** Runs the message loop for that long. */
void pumpFor (int milliseconds);

/** Captures the application log in a temporary file for one test. */
class LogCapture final
{
public:
    LogCapture();
    ~LogCapture();

    juce::StringArray lines() const;      // texts without their time stamps
    bool contains (const juce::String& text) const;
    int count (const juce::String& text) const;

private:
    juce::TemporaryFile file;
};

/** A FirmwareUpdaters document with one windowed Quorrel definition around the given States. */
juce::String quorrelDocument (const juce::String& statesXml, const juce::String& initialState,
                              int timeoutSeconds = 60, const juce::String& timeoutState = {});
