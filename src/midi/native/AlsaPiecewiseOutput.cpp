#include "AlsaPiecewiseOutput.h"
#include "AlsaSendingClient.h"
#include "AlsaSendingPort.h"

#include <cerrno>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>
#endif

AlsaPiecewiseOutput::AlsaPiecewiseOutput (const juce::String& clientName, const juce::String& portName, int pieceBytesToUse)
    : pieceBytes (pieceBytesToUse)
{
   #if JUCE_LINUX
    // A client of the device's own, as a USB instrument has, not the program's shared one. No wait
    // for a full reader: it refuses the reply (-EAGAIN), as it refuses a hardware port's, instead
    // of stopping the device.
    if (pieceBytes >= 1)
        sender = std::make_unique<AlsaSendingPort> (std::make_shared<AlsaSendingClient> (clientName), portName,
                                                    SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE, 0);
   #else
    juce::ignoreUnused (clientName, portName);
   #endif
}

AlsaPiecewiseOutput::~AlsaPiecewiseOutput() = default;

bool AlsaPiecewiseOutput::isOpen() const noexcept
{
    return sender != nullptr && sender->isOpen();
}

int AlsaPiecewiseOutput::send (const juce::MidiMessage& message)
{
    if (! isOpen())
        return -ENODEV;

    const auto* data = message.getRawData();
    const auto size = (size_t) juce::jmax (0, message.getRawDataSize());

    if (! message.isSysEx())
        return sender->sendShortMessages (data, size);

    // As the kernel's MIDI driver passes on a SysEx from a hardware port: a piece whenever its
    // buffer is full, the rest with the F7. A message of whole pieces plus its F7 ends in a
    // piece that is the F7 alone.
    for (size_t offset = 0; offset < size; offset += (size_t) pieceBytes)
        if (const auto result = sender->sendSysexPiece (data + offset, juce::jmin ((size_t) pieceBytes, size - offset)); result < 0)
            return result;

    return 0;
}
