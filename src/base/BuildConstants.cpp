#include "BuildConstants.h"

namespace BuildConstants
{
    const char* const applicationName = "Quorrel Firmware Updater";
    const char* const applicationVersion = "2.1.12";
    const char* const deviceName = "Quorrel";
    const char* const logFolderName = "Vorn Firmware Updater";
    const char* const logFilePrefix = "vfu-";
}
