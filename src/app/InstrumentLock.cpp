#include "InstrumentLock.h"

namespace
{
    /** The same name in every program of this build; it becomes a file name (a mutex name on
        Windows), so letters and digits only. */
    juce::String lockNameFor (const juce::String& deviceName)
    {
        juce::String safeName;

        for (auto c : deviceName)
            safeName << (juce::CharacterFunctions::isLetterOrDigit (c) ? juce::String::charToString (c) : juce::String ("_"));

        return "VornFirmwareUpdater-" + safeName;
    }
}

InstrumentLock::InstrumentLock (const juce::String& deviceName)
    : lock (lockNameFor (deviceName))
{
}

InstrumentLock::~InstrumentLock()
{
    if (held)
        lock.exit();
}

bool InstrumentLock::tryEnter()
{
    if (! held)
        held = lock.enter (0);

    return held;
}

juce::String InstrumentLock::busyMessageFor (const juce::String& deviceName)
{
    return "Another updater for the " + deviceName + " is running on this computer (the window or vfu-update). "
           "Only one at a time may talk to the instrument: let the other one finish, then try again.";
}
