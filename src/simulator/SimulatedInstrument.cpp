#include "SimulatedInstrument.h"

#include "SimFirmwareImage.h"
#include "SimIdentityReply.h"

#include <stdexcept>

namespace
{
    using Bytes = std::vector<juce::uint8>;

    constexpr size_t maxSysexBytes = 16 * 1024 * 1024;

    bool startsWith (const Bytes& bytes, std::initializer_list<juce::uint8> prefix)
    {
        return bytes.size() >= prefix.size() && std::equal (prefix.begin(), prefix.end(), bytes.begin());
    }

    juce::MidiMessage sysexOf (const Bytes& data)
    {
        return juce::MidiMessage::createSysExMessage (data.data(), (int) data.size());
    }

    SimVersion reportableVersion (int family, const juce::String& text)
    {
        const auto parsed = SimVersion::fromText (text);

        if (! parsed || ! SimIdentityReply::canCarry (family, *parsed))
            throw std::invalid_argument (("a family-" + juce::String (family) + " instrument cannot report version '"
                                          + text + "'").toStdString());

        return *parsed;
    }
}

juce::String SimulatedInstrument::instrumentNameFor (int family)
{
    switch (family)
    {
        case 6:  return "Quorrel";
        case 8:  return "Dorrick";
        case 11: return "Vantoline";
        case 12: return "Halvane XV";
        default: return "Instrument " + juce::String (family);
    }
}

SimulatedInstrument::SimulatedInstrument (DevicePortHost& busToUse, Settings initial)
    : bus (busToUse),
      settings (std::move (initial)),
      mode (settings.mode),
      erased (settings.erased),
      version (reportableVersion (settings.family, settings.version)),
      panelStatus (settings.panelStatusByte)
{
    if (mode != Mode::absent)
        plugInNow();
}

SimulatedInstrument::~SimulatedInstrument()
{
    {
        const juce::ScopedLock sl (lock);
        shuttingDown = true;
    }

    scheduler.stop();

    DevicePortHost::PlugId current;
    {
        const juce::ScopedLock sl (lock);
        current = plug;
        plug = 0;
    }

    // Waits for a message from the updater that is being handled on another thread.
    bus.pullOut (current);
}

//==============================================================================
SimulatedInstrument::Mode SimulatedInstrument::getMode() const
{
    const juce::ScopedLock sl (lock);
    return mode;
}

bool SimulatedInstrument::isErased() const
{
    const juce::ScopedLock sl (lock);
    return erased;
}

juce::String SimulatedInstrument::getVersion() const
{
    const juce::ScopedLock sl (lock);
    return version.toText();
}

int SimulatedInstrument::getPanelStatusByte() const
{
    const juce::ScopedLock sl (lock);
    return panelStatus;
}

juce::String SimulatedInstrument::getInputName() const
{
    const juce::ScopedLock sl (lock);
    const auto base = settings.portName.isNotEmpty() ? settings.portName : instrumentNameFor (settings.family);
    return mode == Mode::bootloader && settings.bootloaderPortName.isNotEmpty() ? settings.bootloaderPortName : base;
}

juce::String SimulatedInstrument::getOutputName() const
{
    return getInputName();
}

bool SimulatedInstrument::waitForMode (Mode wanted, int timeoutMs) const
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

    while (getMode() != wanted)
    {
        if (juce::Time::getMillisecondCounterHiRes() >= end)
            return false;

        juce::Thread::sleep (2);
    }

    return true;
}

SimulatedInstrument::Settings SimulatedInstrument::getSettings() const
{
    const juce::ScopedLock sl (lock);
    return settings;
}

void SimulatedInstrument::setSettings (const Settings& newSettings)
{
    const juce::ScopedLock sl (lock);
    settings = newSettings;
}

void SimulatedInstrument::setPanelStatusByte (int status)
{
    const juce::ScopedLock sl (lock);
    panelStatus = status;
}

//==============================================================================
void SimulatedInstrument::enterBootloader()
{
    reboot (Mode::bootloader);
}

void SimulatedInstrument::reboot (Mode newMode)
{
    const auto delay = getSettings().reattachMs;
    vanishThenReturn (delay, newMode, isErased(), nullptr);
}

void SimulatedInstrument::pullCable()
{
    vanish();
}

void SimulatedInstrument::reconnectCable()
{
    {
        const juce::ScopedLock sl (lock);

        if (mode == Mode::absent)
            mode = modeBeforeVanish;

        cablePulled = false;
    }

    plugInNow();
}

void SimulatedInstrument::vanish()
{
    DevicePortHost::PlugId old;

    {
        const juce::ScopedLock sl (lock);
        old = plug;
        plug = 0;
        ++generation;
        applyingImage = false;
        inSysex = false;
        assembling.clear();
        announcedImageBytes = 0;

        if (mode != Mode::absent)
            modeBeforeVanish = mode;

        mode = Mode::absent;
    }

    // Never under our own lock: pulling out waits for a delivery to us on another thread.
    bus.pullOut (old);
}

void SimulatedInstrument::returnAfter (int delayMs, Mode newMode, bool newErased, std::optional<SimVersion> newVersion)
{
    int expected;
    {
        const juce::ScopedLock sl (lock);
        expected = generation;
    }

    scheduler.schedule (delayMs, [this, expected, newMode, newErased, newVersion]
    {
        {
            const juce::ScopedLock sl (lock);

            if (shuttingDown || generation != expected)
                return;

            mode = newMode;
            erased = newErased;

            if (newVersion)
                version = *newVersion;
        }

        plugInNow();
    });
}

void SimulatedInstrument::applyImageLater (const SimVersion& newVersion)
{
    int expected, delay;

    {
        const juce::ScopedLock sl (lock);
        expected = generation;
        delay = settings.applyImageMs;
        applyingImage = true;
    }

    // Like a real bootloader it writes the image before it restarts, so the updater's last
    // packet and its pause end while the ports are still there.
    scheduler.schedule (delay, [this, expected, newVersion]
    {
        int reattach;

        {
            const juce::ScopedLock sl (lock);

            if (shuttingDown || generation != expected)
                return;

            reattach = settings.reattachMs;
        }

        vanishThenReturn (reattach, Mode::normal, false, &newVersion);
    });
}

void SimulatedInstrument::vanishThenReturn (int delayMs, Mode newMode, bool newErased, const SimVersion* newVersion)
{
    vanish();
    returnAfter (delayMs, newMode, newErased, newVersion != nullptr ? std::optional<SimVersion> (*newVersion) : std::nullopt);
}

void SimulatedInstrument::plugInNow()
{
    juce::String name;
    int inputPosition, outputPosition, expected;

    {
        const juce::ScopedLock sl (lock);

        if (shuttingDown || plug != 0 || plugging || mode == Mode::absent)
            return;

        const auto base = settings.portName.isNotEmpty() ? settings.portName : instrumentNameFor (settings.family);
        name = mode == Mode::bootloader && settings.bootloaderPortName.isNotEmpty() ? settings.bootloaderPortName : base;
        inputPosition = settings.inputPosition;
        outputPosition = settings.outputPosition;
        expected = generation;

        inSysex = false;
        assembling.clear();
        plugging = true;
    }

    // Not under our lock: making the ports of the operating system is a port open.
    const auto newPlug = bus.plugIn (name, name, this, inputPosition, outputPosition);
    bool keep;

    {
        const juce::ScopedLock sl (lock);
        plugging = false;
        keep = ! shuttingDown && generation == expected && mode != Mode::absent;

        if (keep)
            plug = newPlug;
    }

    // It vanished (or is being destroyed) while its ports were being made.
    if (! keep)
        bus.pullOut (newPlug);
}

//==============================================================================
void SimulatedInstrument::receivedFromUpdater (const juce::MidiMessage& message)
{
    const auto* raw = message.getRawData();
    const auto size = (size_t) juce::jmax (0, message.getRawDataSize());

    {
        const juce::ScopedLock sl (recordLock);
        record.packets.emplace_back (raw, raw + size);
    }

    std::vector<Bytes> complete;
    bool pull = false;
    int returnMs = -1;

    {
        const juce::ScopedLock sl (lock);
        const auto family = (juce::uint8) (settings.family & 0x7f);
        // Without a size there is nothing to take the share of.
        const auto imageBytes = announcedImageBytes != 0 ? announcedImageBytes : settings.assumedImageBytes;
        const auto pullAt = settings.pullCableAtPercent < 0 || imageBytes == 0
                              ? std::numeric_limits<size_t>::max()
                              : (size_t) ((juce::int64) imageBytes * settings.pullCableAtPercent / 100);

        // A packet is a raw slice of the byte stream: SysEx messages are reassembled across packets.
        for (size_t i = 0; i < size && ! pull; ++i)
        {
            const auto byte = raw[i];

            if (byte == 0xf0)
            {
                inSysex = true;
                assembling.assign (1, byte);
            }
            else if (byte >= 0xf8)
            {
                continue; // real-time bytes may interleave with SysEx
            }
            else if (inSysex)
            {
                if (byte == 0xf7)
                {
                    assembling.push_back (byte);
                    complete.push_back (std::move (assembling));
                    assembling.clear();
                    inSysex = false;
                }
                else if (byte >= 0x80 || assembling.size() >= maxSysexBytes)
                {
                    inSysex = false; // a status byte ends an unfinished SysEx
                    assembling.clear();
                }
                else
                {
                    assembling.push_back (byte);

                    if (! cablePulled && assembling.size() >= pullAt
                        && startsWith (assembling, { 0xf0, 0x04, family, 0x12 }))
                    {
                        cablePulled = true;
                        pull = true;
                        returnMs = settings.cableReturnMs;
                    }
                }
            }
        }
    }

    for (auto& sysex : complete)
        handleSysex (sysex);

    if (pull)
    {
        const auto before = getMode();
        const auto wasErased = isErased();
        vanish();

        // An interrupted image changes nothing: the instrument comes back as it was.
        if (returnMs >= 0)
            returnAfter (returnMs, before, wasErased, std::nullopt);
    }
}

void SimulatedInstrument::imageAnnounced (size_t totalBytes)
{
    const juce::ScopedLock sl (lock);
    announcedImageBytes = totalBytes;
}

void SimulatedInstrument::reply (const juce::MidiMessage& message)
{
    DevicePortHost::PlugId target;
    int delay;
    bool garbage;

    {
        const juce::ScopedLock sl (lock);

        if (settings.silent)
            return;

        target = plug;
        delay = settings.replyLatencyMs + settings.slowReplyMs;
        garbage = settings.garbage;
    }

    // Built in one go: move-assigning over a juce::MidiMessage that holds heap data leaks it.
    const auto toSend = garbage ? [] {
                                      juce::Random random;
                                      Bytes junk { 0x7d };

                                      for (int i = random.nextInt ({ 2, 20 }); --i >= 0;)
                                          junk.push_back ((juce::uint8) random.nextInt (0x80));

                                      return sysexOf (junk);
                                  }()
                                : message;

    // Replies go to the ports the request came in on; after a reboot they are lost.
    scheduler.schedule (delay, [this, target, toSend] { bus.sendToUpdater (target, toSend); });
}

void SimulatedInstrument::handleSysex (const Bytes& sysex)
{
    {
        const juce::ScopedLock sl (recordLock);
        record.sysex.push_back (sysex);
    }

    Settings s;
    Mode currentMode;
    bool currentlyErased;
    SimVersion currentVersion;
    int currentPanel;
    bool busy;

    {
        const juce::ScopedLock sl (lock);
        s = settings;
        currentMode = mode;
        currentlyErased = erased;
        currentVersion = version;
        currentPanel = panelStatus;
        busy = applyingImage;
    }

    // Writing an image to flash, the bootloader answers nothing until it restarts.
    if (currentMode == Mode::absent || busy)
        return;

    const auto family = (juce::uint8) (s.family & 0x7f);

    // Identity request, to any device ID.
    if (sysex.size() == 6 && startsWith (sysex, { 0xf0, 0x7e }) && sysex[3] == 0x06 && sysex[4] == 0x01)
    {
        if (currentMode == Mode::normal)
        {
            reply (SimIdentityReply::normal (s.family, currentVersion));

            const juce::ScopedLock sl (lock);

            if (s.bootloaderAfterMs >= 0 && ! userActionScheduled && ! settings.silent)
            {
                userActionScheduled = true;
                const auto expected = generation;

                scheduler.schedule (s.bootloaderAfterMs, [this, expected]
                {
                    {
                        const juce::ScopedLock sl2 (lock);

                        if (shuttingDown || generation != expected || mode != Mode::normal)
                            return;
                    }

                    enterBootloader();
                });
            }
        }
        else
        {
            reply (SimIdentityReply::bootloader (s.family, currentVersion));
        }

        return;
    }

    if (s.family == 12 && startsWith (sysex, { 0xf0, 0x04, 0x0c, 0x16, 0x01, 0xf7 }))
    {
        // Only the running firmware knows this request; the bootloader keeps quiet.
        if (currentMode == Mode::normal)
            reply (sysexOf ({ 0x04, 0x0c, 0x16, 0x02 }));

        return;
    }

    if (s.family == 12 && sysex.size() == 17 && startsWith (sysex, { 0xf0, 0x04, 0x0c, 0x31, 0x00 }))
    {
        if (currentMode == Mode::normal && currentPanel >= 0)
            reply (sysexOf ({ 0x04, 0x0c, 0x31, 0x01, (juce::uint8) (currentPanel & 0x7f) }));

        return;
    }

    if (s.family == 12 && sysex == Bytes { 0xf0, 0x04, 0x0c, 0x31, 0x00, 0xf7 })
    {
        // The panel update command: the running firmware gets its panel ready for a new panel
        // image (status 01, erased) unless an update is already under way, and reports the status.
        if (currentMode == Mode::normal && currentPanel >= 0)
        {
            if (currentPanel != 1 && currentPanel != 2)
                setPanelStatusByte (1);

            reply (sysexOf ({ 0x04, 0x0c, 0x31, 0x01, (juce::uint8) (getPanelStatusByte() & 0x7f) }));
        }

        return;
    }

    if (sysex.size() == 5 && startsWith (sysex, { 0xf0, 0x04, family, 0x11, 0xf7 }))
    {
        if (currentMode == Mode::bootloader)
            vanishThenReturn (s.eraseReattachMs, Mode::bootloader, true, nullptr);

        return;
    }

    if (startsWith (sysex, { 0xf0, 0x04, family, 0x12 }))
    {
        // Only an intact image is written: one that lost bytes on the way leaves the bootloader
        // erased, and the instrument never restarts with it.
        const auto info = SimFirmwareImage::parse (sysex.data(), sysex.size());
        const bool valid = info && info->familyByte == family && ! s.rejectImages
                           && SimIdentityReply::canCarry (s.family, info->version)
                           && SimFirmwareImage::isIntact (sysex.data(), sysex.size());

        if (currentMode == Mode::bootloader && (currentlyErased || s.family == 12))
        {
            if (valid)
                applyImageLater (info->version);
        }
        else if (currentMode == Mode::normal && s.family == 12)
        {
            // The panel of family 12 is updated from its running firmware: the first image
            // erases the panel, the second one programs it and restarts the instrument.
            if (! valid)
                setPanelStatusByte (5);
            else if (currentPanel != 1)
                setPanelStatusByte (1);
            else
            {
                setPanelStatusByte (3);
                vanishThenReturn (s.reattachMs, Mode::normal, false, &info->version);
            }
        }
    }
}

//==============================================================================
SimulatedInstrument::Record SimulatedInstrument::getRecord() const
{
    const juce::ScopedLock sl (recordLock);
    return record;
}

void SimulatedInstrument::clearRecord()
{
    const juce::ScopedLock sl (recordLock);
    record = {};
}

int SimulatedInstrument::countReceived (const Bytes& sysex) const
{
    const juce::ScopedLock sl (recordLock);
    return (int) std::count (record.sysex.begin(), record.sysex.end(), sysex);
}
