#include "AlsaSysexStream.h"
#include "AlsaSendingClient.h"
#include "AlsaSendingPort.h"

#if JUCE_LINUX
 #include <alsa/asoundlib.h>
#endif

namespace
{
    // Events stay far below what a receiver's input pool can hold (the kernel's default pool of
    // 200 cells takes one event of at most 5,572 bytes), and small enough that a receiver that
    // reads promptly always has room for the next one.
    constexpr size_t maxEventBytes = 256;

    // A receiver whose pool is full is not waited out: when the sequencer refuses an event for a
    // full receiver, it also marks the receiver overflowed, and the receiver's next read drops its
    // whole queue. Whatever was sent before the refusal is lost with it, so a retried event would
    // only hide the loss; the send fails at once.
    constexpr int busyRetryMs = 0;
}

AlsaSysexStream::AlsaSysexStream (std::shared_ptr<AlsaSendingClient> sendingClient, const juce::String& destination)
{
    const auto clientText = destination.upToFirstOccurrenceOf ("-", false, false);
    const auto portText = destination.fromFirstOccurrenceOf ("-", false, false);

    if (! clientText.containsOnly ("0123456789") || ! portText.containsOnly ("0123456789")
        || clientText.isEmpty() || portText.isEmpty() || clientText.length() > 5 || portText.length() > 5)
    {
        openError = "no ALSA sequencer port \"" + destination + "\"";
        return;
    }

   #if JUCE_LINUX
    auto opened = std::make_unique<AlsaSendingPort> (std::move (sendingClient), "SysEx", SND_SEQ_PORT_CAP_READ,
                                                     SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION, busyRetryMs);

    if (! opened->isOpen())
    {
        openError = opened->getOpenError();
        return;
    }

    if (const auto result = opened->connectTo (clientText.getIntValue(), portText.getIntValue()); result < 0)
    {
        openError = "the sequencer refused the connection to " + clientText + ":" + portText + ": "
                  + AlsaSendingClient::describe (result);
        return;
    }

    sender = std::move (opened);
    destinationClient = clientText.getIntValue();
    destinationPort = portText.getIntValue();
   #else
    juce::ignoreUnused (sendingClient);
    openError = "no ALSA sequencer on this system";
   #endif
}

AlsaSysexStream::~AlsaSysexStream() = default;

juce::Result AlsaSysexStream::send (const juce::uint8* data, size_t size)
{
    if (sender == nullptr)
        return juce::Result::fail (openError);

    if (size == 0)
        return juce::Result::ok();

    // A slice goes on the SysEx that this stream began, whatever its length (a packet of one
    // byte that is the closing F7 included); only a message that begins with its own status
    // byte outside a SysEx is a message of its own.
    if (insideSysex || data[0] == 0xf0 || data[0] < 0x80)
        return sendSysexBytes (data, size);

    return sendShortMessage (data, size);
}

juce::Result AlsaSysexStream::sendSysexBytes (const juce::uint8* data, size_t size)
{
    for (size_t offset = 0; offset < size; offset += maxEventBytes)
    {
        // An event to a connection that went with its port reaches nobody and is still taken:
        // an instrument that restarted or lost its cable, even one back already under the same
        // number, must fail the send rather than swallow the rest of an image.
        if (! sender->isConnectedTo (destinationClient, destinationPort))
            return juce::Result::fail ("the port " + juce::String (destinationClient) + ":" + juce::String (destinationPort)
                                       + " went away (the instrument restarted or its cable was pulled)");

        if (sender->sendSysexPiece (data + offset, juce::jmin (maxEventBytes, size - offset)) < 0)
            return juce::Result::fail (sender->getLastFailure());
    }

    // Where the stream stands now: inside a SysEx when its last F0 or F7 was an F0.
    for (auto i = size; i > 0; --i)
    {
        if (data[i - 1] == 0xf7) { insideSysex = false; break; }
        if (data[i - 1] == 0xf0) { insideSysex = true; break; }
    }

    return juce::Result::ok();
}

juce::Result AlsaSysexStream::sendShortMessage (const juce::uint8* data, size_t size)
{
    return sender->sendShortMessages (data, size) < 0 ? juce::Result::fail (sender->getLastFailure()) : juce::Result::ok();
}
