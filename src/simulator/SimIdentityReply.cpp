#include "SimIdentityReply.h"

namespace
{
    juce::MidiMessage reply (int familyLow, juce::uint8 model1, juce::uint8 model2, const std::array<juce::uint8, 4>& version)
    {
        const juce::uint8 data[] = { 0x7e, 0x7f, 0x06, 0x02, 0x04, 0x00, (juce::uint8) (familyLow & 0x7f),
                                     model1, model2, version[0], version[1], version[2], version[3] };
        return juce::MidiMessage::createSysExMessage (data, (int) sizeof (data));
    }

    juce::uint8 seven (int value) { return (juce::uint8) (value & 0x7f); }

    // Family 6 reports one 14-bit number: below 1001 its decimal digits are a.b.c, above 1000
    // it is a * 1000 + b * 100 + c with a two-digit patch number.
    int quorrelNumber (const SimVersion& v)
    {
        const bool digits = v.minor <= 9 && v.patch <= 9;
        const int small = v.major * 100 + v.minor * 10 + v.patch;

        // 200 would be sent as 48 01, which is how the bootloader shows itself.
        if (digits && small <= 1000 && small != 200 && (small != 1000 || v.major == 10))
            return small;

        return v.major * 1000 + v.minor * 100 + v.patch;
    }
}

std::array<juce::uint8, 4> SimIdentityReply::versionBytes (int family, const SimVersion& v)
{
    switch (family)
    {
        case 6:
        {
            const auto u = quorrelNumber (v);
            return { 0, 0, seven (u), seven (u >> 7) };
        }

        case 8:
        {
            const auto n = v.major * 100 + v.minor * 10 + v.patch;
            return { seven (n), seven (n >> 7), 0, 0 };
        }

        default:
            return { seven (v.pre > 0 ? v.pre : 0), seven (v.major), seven (v.minor), seven (v.patch) };
    }
}

juce::MidiMessage SimIdentityReply::normal (int family, const SimVersion& version)
{
    return reply (family, 0, 0, versionBytes (family, version));
}

juce::MidiMessage SimIdentityReply::bootloader (int family, const SimVersion& version)
{
    switch (family)
    {
        case 6:  return reply (family, 0, 0, { 0, 0, 0x48, 0x01 });
        case 8:  return reply (0x0f, 0, 0, { 0, 0, 0, 0 });
        case 11: return reply (family, 0, 1, { 0, 0, 0, 0 });
        default: return normal (family, version);
    }
}

bool SimIdentityReply::canCarry (int family, const SimVersion& v)
{
    auto sevenBits = [] (int n) { return n >= 0 && n <= 0x7f; };
    const bool bytesFit = sevenBits (v.major) && sevenBits (v.minor) && sevenBits (v.patch) && v.pre <= 0x7f;

    switch (family)
    {
        case 6:
        {
            // No pre-release number; 100a + 10b + c up to 1000, or 1000a + 100b + c from 1001 up to 14 bits.
            if (v.pre >= 0 || v.minor > 9 || v.major > 16)
                return false;

            const int small = v.major * 100 + v.minor * 10 + v.patch;
            const int large = v.major * 1000 + v.minor * 100 + v.patch;
            return (v.patch <= 9 && small <= 1000) || (v.patch <= 99 && large > 1000 && large < 16384);
        }

        case 8:
            return v.pre < 0 && v.minor <= 9 && v.patch <= 9 && v.major <= 163
                   && v.major * 100 + v.minor * 10 + v.patch < 16384;

        case 11:
        case 12:
        {
            // A pre-release number 0 is sent as "none", and without one some values read as
            // markers: 0.63.c reads as 1.0.c (family 11), 0.b.63 as 1.0.b (family 12), and
            // 0.100.0 is how family 11's bootloader shows itself.
            if (! bytesFit || v.pre == 0)
                return false;

            if (v.pre > 0 || v.major != 0)
                return true;

            return family == 11 ? v.minor != 0x3f && ! (v.minor == 100 && v.patch == 0)
                                : v.patch != 0x3f;
        }

        default:
            return bytesFit;
    }
}

juce::String SimIdentityReply::describeCarried (int family)
{
    switch (family)
    {
        case 6:  return "a.b.c without p, b up to 9, c up to 99 (up to 9 when a is 0), at most 16.3.83";
        case 8:  return "a.b.c without p, b and c up to 9, at most 163.8.3";
        case 11: return "a.b.c or a.b.cpN, each number up to 127, N from 1, not 0.63.c or 0.100.0";
        case 12: return "a.b.c or a.b.cpN, each number up to 127, N from 1, not 0.b.63";
        default: return "a.b.c or a.b.cpN, each number up to 127";
    }
}
