#pragma once

#include <juce_core/juce_core.h>

/** The engine's reports to the user interface. Every operation is called on the message
    thread while the engine thread waits for it to return, so an implementation may read
    engine state freely but must never wait for the engine thread (for instance by stopping it).
*/
class FirmwareUpdaterCallback
{
public:
    virtual ~FirmwareUpdaterCallback() = default;

    /** A State was entered; from is "none" at the first entry of a run. */
    virtual void stateChanged (const juce::String& from, const juce::String& to) = 0;
    /** A TextField instruction ran; "?(version)" in the text is already replaced. */
    virtual void setTextField (const juce::String& name, const juce::String& text, bool visible) = 0;
    virtual void setButton (const juce::String& name, const juce::String& text, bool enabled) = 0;
    virtual void print (const juce::String& text) = 0;
    /** Fraction of the firmware transfer, 0.0 to 1.0. */
    virtual void setProgress (double progress) = 0;

    /** The one process-wide registration; FirmwareUpdater's constructor sets it. May be nullptr. */
    static void setRegistered (FirmwareUpdaterCallback* callback) noexcept;
    static FirmwareUpdaterCallback* getRegistered() noexcept;
};
