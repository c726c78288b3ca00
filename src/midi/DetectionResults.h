#pragma once

#include <juce_core/juce_core.h>

#include <atomic>

/** What the polls found out about the instrument: the family looked for, its firmware version,
    the panel's state, whether it answered the alternative inquiry, whether it answered at all and
    whether from its bootloader.

    Written by the engine thread's polls and by the reply decoder on the input thread, read by
    any thread: the texts and numbers under a lock of their own, the two flags atomic.
*/
class DetectionResults final
{
public:
    /** The version shown while none is known. */
    static const juce::String unknownVersion;

    juce::String getFirmwareVersion() const;
    void setFirmwareVersion (const juce::String& version);
    void forgetFirmwareVersion() { setFirmwareVersion (unknownVersion); }

    int getPanelStatus() const;
    void setPanelStatus (int status);

    juce::uint16 getDeviceFamily() const;
    void setDeviceFamily (juce::uint16 family);

    bool wasAlternativeReplyReceived() const;
    void setAlternativeReplyReceived (bool received);

    bool isBootloaderMode() const noexcept    { return bootloaderMode.load(); }
    void setBootloaderMode (bool bootloader)  { bootloaderMode = bootloader; }
    bool isDeviceDetected() const noexcept    { return deviceDetected.load(); }
    void setDeviceDetected (bool detected)    { deviceDetected = detected; }

    /** No family, version "Unknown", nothing detected. */
    void reset();

private:
    juce::CriticalSection lock;
    juce::uint16 deviceFamily = 0xffff;                // guarded by lock
    juce::String firmwareVersion { unknownVersion };   // guarded by lock
    bool alternativeReplyReceived = false;             // guarded by lock
    int panelStatus = 0;                               // guarded by lock

    std::atomic<bool> bootloaderMode { false }, deviceDetected { false };
};
