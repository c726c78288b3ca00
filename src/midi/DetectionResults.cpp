#include "DetectionResults.h"

const juce::String DetectionResults::unknownVersion ("Unknown");

juce::String DetectionResults::getFirmwareVersion() const
{
    const juce::ScopedLock sl (lock);
    return firmwareVersion;
}

void DetectionResults::setFirmwareVersion (const juce::String& version)
{
    const juce::ScopedLock sl (lock);
    firmwareVersion = version;
}

int DetectionResults::getPanelStatus() const
{
    const juce::ScopedLock sl (lock);
    return panelStatus;
}

void DetectionResults::setPanelStatus (int status)
{
    const juce::ScopedLock sl (lock);
    panelStatus = status;
}

juce::uint16 DetectionResults::getDeviceFamily() const
{
    const juce::ScopedLock sl (lock);
    return deviceFamily;
}

void DetectionResults::setDeviceFamily (juce::uint16 family)
{
    const juce::ScopedLock sl (lock);
    deviceFamily = family;
}

bool DetectionResults::wasAlternativeReplyReceived() const
{
    const juce::ScopedLock sl (lock);
    return alternativeReplyReceived;
}

void DetectionResults::setAlternativeReplyReceived (bool received)
{
    const juce::ScopedLock sl (lock);
    alternativeReplyReceived = received;
}

void DetectionResults::reset()
{
    {
        const juce::ScopedLock sl (lock);
        deviceFamily = 0xffff;
        firmwareVersion = unknownVersion;
        alternativeReplyReceived = false;
        panelStatus = 0;
    }

    bootloaderMode = false;
    deviceDetected = false;
}
