#pragma once

#include "SimScheduler.h"
#include "SimVersion.h"
#include "../midi/DevicePortHost.h"

#include <vector>

/** A simulated MIDI synthesizer of one of the families 6, 8, 11 and 12, plugged into a
    DevicePortHost: the software bus, or the operating system's MIDI service. It keeps its own state and answers only what the instrument would:
    identity replies (normal firmware or bootloader), the alternative inquiry, the panel state
    query and the panel update command (family 12), the erase command, and firmware images in the
    simulated image format (SimFirmwareImage), received as raw packets that may split a SysEx
    message anywhere. It takes only versions its family's identity reply can report
    (SimIdentityReply::canCarry): the constructor throws std::invalid_argument for another, and an
    image that carries one is rejected like a corrupt image.

    Rebooting (the user entering the bootloader, an erase, an applied image) pulls its ports out
    and plugs them in again after a delay, possibly at other positions or under another name.

    Threads: every public function may be called from any thread. Messages from the updater are
    handled on the sending thread; replies and reboots run on the instrument's own scheduler
    thread, and replies reach the updater on the bus's thread. Destruction stops everything.
*/
class SimulatedInstrument final : private DevicePortHost::Device
{
public:
    enum class Mode
    {
        absent,     // no ports (also while it restarts)
        normal,     // running its firmware
        bootloader  // running its bootloader (erased or not)
    };

    struct Settings
    {
        int family = 6;
        juce::String portName;            // empty: the family's instrument name ("Quorrel", ...)
        juce::String bootloaderPortName;  // empty: portName
        juce::String version { "2.1.12" };
        Mode mode = Mode::normal;         // the mode it starts in
        bool erased = false;

        int replyLatencyMs = 5;
        int reattachMs = 50;              // ports away during a reboot
        int eraseReattachMs = 20;         // ports away after an erase
        int applyImageMs = 300;           // a complete image is written to flash this long before the reboot
        int bootloaderAfterMs = -1;       // the simulated user enters the bootloader this long after
                                          // the first identity reply in normal mode; -1: never
        int inputPosition = -1;           // where its ports plug in; -1 appends
        int outputPosition = -1;
        int panelStatusByte = 0;          // family 12: status byte of its panel state reply; -1: no reply

        // Faults
        int pullCableAtPercent = -1;      // ports vanish once this share of an image has arrived (once
                                          // only: the user plugs it back in and tries again); -1: never.
                                          // The share is of the size the updater announced on the output,
        size_t assumedImageBytes = 0;     // or of this one where nothing announces a size (ports of
                                          // the operating system); 0: none
        int cableReturnMs = -1;           // a pulled cable is plugged in again (bootloader) after this; -1: never
        bool silent = false;              // answers nothing
        bool garbage = false;             // answers every request with meaningless SysEx
        int slowReplyMs = 0;              // added to the reply latency
        bool rejectImages = false;        // treats every image as corrupt
    };

    /** One thing received from the updater: a raw packet as sent, or a complete SysEx reassembled. */
    struct Record
    {
        std::vector<std::vector<juce::uint8>> packets;
        std::vector<std::vector<juce::uint8>> sysex;
    };

    SimulatedInstrument (DevicePortHost& bus, Settings settings);
    ~SimulatedInstrument() override;

    static juce::String instrumentNameFor (int family);

    // State ---------------------------------------------------------------------------------
    Mode getMode() const;
    bool isErased() const;
    juce::String getVersion() const;
    int getPanelStatusByte() const;
    juce::String getInputName() const;  // the names its ports have in the current mode
    juce::String getOutputName() const;

    /** Waits (sleeping in short steps) until the instrument is in that mode; false on timeout. */
    bool waitForMode (Mode mode, int timeoutMs) const;

    // Control ---------------------------------------------------------------------------------
    Settings getSettings() const;
    /** Takes new timings, faults, names and positions; mode, version and erased stay as they are. */
    void setSettings (const Settings& newSettings);

    /** The user puts it into its bootloader: ports vanish and come back after reattachMs. */
    void enterBootloader();
    /** Reboots into the given mode after reattachMs (ports vanish meanwhile). */
    void reboot (Mode mode);
    /** The cable is pulled: ports vanish until reconnectCable(), which brings it back in the mode it had
        and arms pullCableAtPercent again (a cable that comes back by itself after cableReturnMs does not). */
    void pullCable();
    void reconnectCable();
    void setPanelStatusByte (int status);

    // Record ------------------------------------------------------------------------------------
    Record getRecord() const;
    void clearRecord();
    /** Complete SysEx messages received that equal these bytes. */
    int countReceived (const std::vector<juce::uint8>& sysex) const;

private:
    void receivedFromUpdater (const juce::MidiMessage& message) override;
    void imageAnnounced (size_t totalBytes) override;
    void handleSysex (const std::vector<juce::uint8>& sysex);
    void handleImageProgress();
    void reply (const juce::MidiMessage& message);
    void vanish();
    void vanishThenReturn (int delayMs, Mode mode, bool erased, const SimVersion* newVersion);
    void applyImageLater (const SimVersion& newVersion);
    void returnAfter (int delayMs, Mode mode, bool erased, std::optional<SimVersion> newVersion);
    void plugInNow();

    DevicePortHost& bus;
    SimScheduler scheduler;

    juce::CriticalSection lock;
    // Guarded by lock:
    Settings settings;
    Mode mode;
    Mode modeBeforeVanish = Mode::normal;
    bool erased;
    SimVersion version;
    int panelStatus;
    DevicePortHost::PlugId plug = 0;
    bool plugging = false;   // between deciding to plug in and having the ports
    int generation = 0;      // counts vanishings, so that a stale return is not carried out
    bool userActionScheduled = false;
    bool shuttingDown = false;
    std::vector<juce::uint8> assembling; // the SysEx being reassembled from raw packets
    bool inSysex = false;
    bool cablePulled = false;     // pullCableAtPercent has pulled it: later images arrive whole
    size_t announcedImageBytes = 0; // 0: none announced since the ports last came in
    bool applyingImage = false;   // between a complete image and the restart that applies it

    juce::CriticalSection recordLock;
    Record record;

    JUCE_DECLARE_NON_COPYABLE (SimulatedInstrument)
};
