// Runs package verification on arbitrary bytes: it must never crash, hang or read out of bounds.
// Each input is checked twice: alone, as the tools check a package, and as a build with a maker's
// key and the Quorrel's definitions does, which also reads the signature entry.
#include "firmware/FirmwarePackageStore.h"
#include "firmware/PackageSignature.h"
#include "firmware/PackageVerifier.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    static const PackageSignature signature ("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");

    juce::MemoryInputStream stream (data, size, false);
    FirmwarePackageStore::verifyPackage (stream);

    static const PackageVerifier verifier = []
    {
        PackageVerifier v;
        v.requireSignature (&signature);
        v.requireImagesFor ({ "quorrel-fw-$(version)" });
        return v;
    }();

    juce::MemoryInputStream again (data, size, false);
    verifier.verify (again);
    return 0;
}
