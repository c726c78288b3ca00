#pragma once

#include <juce_core/juce_core.h>

/** The command line of vfu-firmware-tool:

        image --family 6 --version 2.1.13 --size 359740 [--tail] -o quorrel-fw-2.1.13.syx
        pack -o quorrel-fw-2.1.13.vfw quorrel-fw-2.1.13.syx [more.syx ...] [--device Quorrel] [--definitions FILE]
        verify quorrel-fw-2.1.13.vfw [--device Quorrel] [--public-key <64 hex digits>] [--definitions FILE]
        inspect quorrel-fw-2.1.13.syx
        keygen -o maker.key
        sign --key maker.key quorrel-fw-2.1.13.vfw

    pack and verify judge a package as the updater does, with the images that the device's
    definitions send (the inbuilt ones of this build's device unless --device or --definitions
    say otherwise); pack writes nothing the updater would refuse.
    keygen writes a new signing key file (readable by its owner only) and prints its public key;
    sign adds the maker's signature of the checksum list to the package.

    Results go to standard output, complaints to standard error; the exit code is 0 on success.
*/
class FirmwareTool final
{
public:
    int run (const juce::StringArray& arguments);

private:
    int makeImage (const juce::StringArray& arguments);
    int makePackage (const juce::StringArray& arguments);
    int verifyPackage (const juce::StringArray& arguments);
    int inspectImage (const juce::StringArray& arguments);
    int makeKey (const juce::StringArray& arguments);
    int signPackage (const juce::StringArray& arguments);

    /** The usage text: on standard output for --help, on standard error after a usage error. */
    static const char* usageText();
    static int usage();
    static int fail (const juce::String& message);
};
