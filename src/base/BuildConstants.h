#pragma once

#include <juce_core/juce_core.h>

/** Constants of this build: the one instrument model it serves and how it names itself. */
namespace BuildConstants
{
    extern const char* const applicationName;   // "Quorrel Firmware Updater"
    extern const char* const applicationVersion; // "2.1.12"
    extern const char* const deviceName;         // "Quorrel"
    constexpr int deviceFamily = 0x0006;         // the family code its identity replies carry
    extern const char* const logFolderName;      // "Vorn Firmware Updater"
    extern const char* const logFilePrefix;      // "vfu-"
    constexpr juce::int64 logSizeLimitBytes = 1024 * 1024;
    constexpr int menuBarHeight = 24;
}
