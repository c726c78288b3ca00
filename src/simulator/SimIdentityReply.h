#pragma once

#include "SimVersion.h"

#include <juce_audio_basics/juce_audio_basics.h>

/** The identity replies a simulated instrument sends, per device family (6, 8, 11, 12):
    F0 7E 7F 06 02 04 <family hi> <family lo> <model 2 bytes> <version 4 bytes> F7.

    The version bytes are laid out the way each family's firmware reports its version, so that
    every version an updater can read from such a reply is reported back as the same version.
*/
struct SimIdentityReply
{
    /** The reply of the normal firmware with that version. */
    static juce::MidiMessage normal (int family, const SimVersion& version);

    /** The reply of the family's bootloader (family 12's bootloader answers like its firmware). */
    static juce::MidiMessage bootloader (int family, const SimVersion& version);

    /** The four version bytes (reply data 9 to 12) the normal firmware of that family sends. */
    static std::array<juce::uint8, 4> versionBytes (int family, const SimVersion& version);

    /** True when that family's reply can report the version so that it reads back unchanged.
        A family-6 reply, for one, holds a single 14-bit number: 2.10.1 would read as 3.0.1. */
    static bool canCarry (int family, const SimVersion& version);

    /** The versions canCarry accepts for that family, in words, for error messages. */
    static juce::String describeCarried (int family);
};
