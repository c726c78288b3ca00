#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

/** The inquiries the updater sends and what it reads from the replies: the identity reply
    (firmware version, bootloader), the alternative inquiry's reply and the panel's state.

    Pure functions of their arguments, without state or locks: any thread may call (the replies
    are decoded on the port backend's input thread). Every rule reads only bytes it has checked
    are there; outside input of any length and content is safe.
*/
class InquiryReplyDecoder final
{
public:
    static const juce::MidiMessage& deviceInquiryRequest();
    static const juce::MidiMessage& alternativeDeviceInquiryRequest();
    static juce::MidiMessage panelStateQuery (juce::uint16 family);

    /** A family as the log names it: four upper-case hex digits. */
    static juce::String familyText (int family);

    struct Reply
    {
        enum class Kind
        {
            none,               // not a reply the updater waits for
            identity,           // the identity reply of the family looked for
            bootloaderIdentity, // family 8's bootloader answers with a model byte of its own
            alternative,        // an answer to the alternative inquiry
            panelStatus         // the panel's state (panelStatus says which)
        };

        Kind kind = Kind::none;
        bool familyKnown = false;  // identity: the family has version rules (and the reply is logged)
        bool versionRead = false;  // identity: the rules read a version (or a bootloader) from the reply
        juce::String version;      // versionRead: the version, empty in a bootloader
        bool bootloader = false;   // versionRead: it answered from its bootloader
        int panelStatus = 0;       // panelStatus: a PollingResult value
    };

    /** Reads one incoming message, for an instrument of that family (0xffff: none looked for yet,
        which no identity reply matches). */
    static Reply decode (int family, const juce::MidiMessage& message);

private:
    static void readVersion (int family, const juce::uint8* data, Reply& reply);
};
