// Runs package verification on arbitrary bytes: it must never crash, hang or read out of bounds.
#include "firmware/FirmwarePackageStore.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    juce::MemoryInputStream stream (data, size, false);
    FirmwarePackageStore::verifyPackage (stream);
    return 0;
}
