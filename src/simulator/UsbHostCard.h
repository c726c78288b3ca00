#pragma once

#include <juce_core/juce_core.h>

#include <vector>

/** What the USB host side of this machine made of a USB MIDI device: its ALSA card, as
    /proc/asound/cards lists it (the long name ends in "at usb-<controller>-<port>, <speed>"),
    and the sequencer client the kernel made for that card (/proc/asound/seq/clients: a card's
    kernel clients are numbered 16 + 4 * card up to 3 more).

    Threads: any; it only reads. */
struct UsbHostCard
{
    int card = -1;
    juce::String longName;     // "Vorn Quorrel at usb-dummy_hcd.0-1, full speed"
    juce::String location;     // "usb-dummy_hcd.0-1"
    int client = -1;           // -1: no sequencer client listed for the card (yet)
    juce::String clientName;   // "Quorrel"
    int port = -1;             // its first port's number
    juce::String portName;     // and name, "Quorrel MIDI 1"

    /** The cards listed now whose location starts with locationPrefix ("usb-dummy_hcd.0-"),
        each with its sequencer client where one is listed. */
    static std::vector<UsbHostCard> findAt (const juce::String& locationPrefix);

    /** The cards of a /proc/asound/cards text whose location starts with locationPrefix. */
    static std::vector<UsbHostCard> parseCards (const juce::String& cardsText, const juce::String& locationPrefix);

    /** Fills in client, clientName and portName from a /proc/asound/seq/clients text. */
    void findClient (const juce::String& clientsText);

    /** "usb-dummy_hcd.0-1, card 1, sequencer client 20 (port 20:0 "Quorrel MIDI 1")". */
    juce::String describe() const;
};
