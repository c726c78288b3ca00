// Runs package verification on arbitrary bytes: it must never crash, hang or read out of bounds.
// Each input is checked twice: as a build without a maker's key does, and as one with a key does,
// which also reads the signature entry of every package that passes its checksums.
#include "firmware/FirmwarePackageStore.h"
#include "firmware/PackageSignature.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static const PackageSignature signature ("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");

    juce::MemoryInputStream stream (data, size, false);
    FirmwarePackageStore::verifyPackage (stream);

    juce::MemoryInputStream again (data, size, false);
    juce::String reason;
    bool refusedForSignature = false;
    FirmwarePackageStore::verifyPackage (again, reason, &signature, refusedForSignature);
    return 0;
}
