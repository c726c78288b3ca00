#include "UsbHostCard.h"

#include "KernelFiles.h"

namespace
{
    // The kernel's numbering of a card's own sequencer clients.
    constexpr int firstCardClient = 16;
    constexpr int clientsPerCard = 4;

    // A number of up to 6 digits at the start of text, or -1.
    int leadingNumber (const juce::String& text)
    {
        const auto digits = text.trimStart().initialSectionContainingOnly ("0123456789");
        return digits.isEmpty() || digits.length() > 6 ? -1 : digits.getIntValue();
    }

    juce::String quotedName (const juce::String& line)
    {
        return line.fromFirstOccurrenceOf ("\"", false, false).upToLastOccurrenceOf ("\"", false, false);
    }
}

std::vector<UsbHostCard> UsbHostCard::findAt (const juce::String& locationPrefix)
{
    juce::String cards, clients;

    if (! KernelFiles::read ("/proc/asound/cards", cards))
        return {};

    auto found = parseCards (cards, locationPrefix);

    if (! found.empty() && KernelFiles::read ("/proc/asound/seq/clients", clients))
        for (auto& card : found)
            card.findClient (clients);

    return found;
}

std::vector<UsbHostCard> UsbHostCard::parseCards (const juce::String& cardsText, const juce::String& locationPrefix)
{
    std::vector<UsbHostCard> found;
    const auto lines = juce::StringArray::fromLines (cardsText);

    // Each card is two lines: " N [id             ]: driver - short name", then its long name.
    for (int i = 0; i + 1 < lines.size(); ++i)
    {
        const auto& head = lines[i];
        const auto number = leadingNumber (head);

        if (number < 0 || ! head.trimStart().substring (juce::String (number).length()).trimStart().startsWith ("["))
            continue;

        const auto longName = lines[i + 1].trim();
        const auto at = longName.lastIndexOf (" at " + locationPrefix);

        if (at < 0)
            continue;

        UsbHostCard card;
        card.card = number;
        card.longName = longName;
        card.location = longName.substring (at + 4).upToFirstOccurrenceOf (",", false, false).trim();
        found.push_back (card);
        ++i;
    }

    return found;
}

void UsbHostCard::findClient (const juce::String& clientsText)
{
    client = -1;
    clientName = {};
    port = -1;
    portName = {};

    if (card < 0)
        return;

    const auto lowest = firstCardClient + card * clientsPerCard;
    int current = -1;

    // "Client  20 : "Quorrel" [Kernel]" and below it "  Port   0 : "Quorrel MIDI 1" (RWeX)".
    for (const auto& line : juce::StringArray::fromLines (clientsText))
    {
        const auto trimmed = line.trimStart();

        if (trimmed.startsWith ("Client "))
        {
            const auto number = leadingNumber (trimmed.substring (7));
            current = number >= lowest && number < lowest + clientsPerCard && client < 0 ? number : -1;

            if (current >= 0)
            {
                client = current;
                clientName = quotedName (trimmed);
            }
        }
        else if (current >= 0 && trimmed.startsWith ("Port ") && port < 0)
        {
            port = leadingNumber (trimmed.substring (5));
            portName = quotedName (trimmed);
        }
    }
}

juce::String UsbHostCard::describe() const
{
    auto text = location + ", card " + juce::String (card);

    if (client >= 0)
        text << ", sequencer client " << client << " \"" << clientName << "\" (port " << client << ":" << port << " \""
             << portName << "\")";
    else
        text << ", no sequencer client";

    return text;
}
