#include "JuceMidiPorts.h"

#include "AlsaSendingClient.h"
#include "AlsaSysexStream.h"
#include "../../base/AppLog.h"

#include <juce_audio_devices/juce_audio_devices.h>
#include <algorithm>
#include <mutex>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>
#elif JUCE_WINDOWS
 #ifndef NOMINMAX
  #define NOMINMAX
 #endif
 #include <windows.h>
 #include <mmsystem.h>
#endif

namespace
{
    /** The ports whose last open another program's open refused (Windows' MIDI ports are
        exclusive), by name: the log says so once each time a port becomes taken. */
    struct PortsInUseElsewhere
    {
        std::mutex mutex;
        juce::StringArray names; // "MIDI output [NAME]", "MIDI input [NAME]"; guarded by mutex

        static PortsInUseElsewhere& get()
        {
            static PortsInUseElsewhere instance;
            return instance;
        }

        void note (const juce::String& port, bool inUse)
        {
            bool changed;

            {
                const std::lock_guard<std::mutex> guard (mutex);
                changed = inUse ? names.addIfNotAlreadyThere (port) : names.contains (port);

                if (! inUse)
                    names.removeString (port);
            }

            if (changed && inUse)
                logLine (port + " is in use by another program (MMSYSERR_ALLOCATED): nothing can be sent or heard "
                                "there until that program lets go of it");
        }
    };

    juce::StringArray namesOf (const juce::Array<juce::MidiDeviceInfo>& devices)
    {
        juce::StringArray names;

        for (const auto& device : devices)
            names.add (device.name);

        return names;
    }

    class JuceInputPort final : public MidiInputPort,
                                private juce::MidiInputCallback
    {
    public:
        explicit JuceInputPort (MidiPortReceiver& receiverToUse) : receiver (receiverToUse) {}

        ~JuceInputPort() override
        {
            // The device is closed before this callback object goes away, so that the
            // framework's input thread never calls into a half-destroyed port.
           #if JUCE_WINDOWS
            closeOnMessageThread();
           #endif
            input.reset();
        }

        /** Opens the device; its messages are handed on under the name it has in the lists
            (the framework reads ALSA's names as Latin-1, the lists as UTF-8). */
        bool open (const juce::MidiDeviceInfo& device)
        {
            listedName = device.name;
            input = juce::MidiInput::openDevice (device.identifier, this);
            return input != nullptr;
        }

        /* On Linux the device, once started, keeps running while the port is stopped, and only
           the handing on stops: a kept port is subscribed to its instrument's output, and one
           that did not read what arrives would fill its input pool, after which the sequencer
           refuses the instrument's sends to everyone subscribed. Elsewhere stopping stops it. */
        void start() override
        {
            forwarding = true;

           #if JUCE_LINUX
            if (running)
                return;
           #endif

            input->start();
            running = true;
        }

        void stop() override
        {
            forwarding = false;

           #if ! JUCE_LINUX
            input->stop();
            running = false;
           #endif
        }

    private:
       #if JUCE_WINDOWS
        /* The framework's Windows backend shares one device handle among the inputs opened on a
           device, and closes it from a 10 ms timer on the message thread once no input refers
           to it; an input opened before then reuses the handle. The selector closes its input
           and opens it again at once when it polls back to back, so the handle would stay open
           for good, and an instrument that restarted meanwhile (its ports deleted and made
           again, as a USB device's are) would never be heard through it: its connection went
           with its old port. So the input is destroyed on the message thread (where that timer
           cannot run in the middle of it) and the close returns only after a later timer has
           run there, when the framework has closed the handle; the next open connects afresh.
           When the message thread cannot take it (it is stopping, or this thread is asked to
           end), the input is closed here. */
        void closeOnMessageThread()
        {
            auto* mm = juce::MessageManager::getInstanceWithoutCreating();

            if (input == nullptr || mm == nullptr || mm->isThisTheMessageThread())
                return;

            struct Closing
            {
                std::unique_ptr<juce::MidiInput> device;
                std::atomic<bool> taken { false };
                juce::WaitableEvent closed { true }, settled { true };
            };

            auto closing = std::make_shared<Closing>();
            closing->device = std::move (input);

            const auto posted = ! mm->hasStopMessageBeenSent()
                             && juce::MessageManager::callAsync ([closing]
                                {
                                    if (! closing->taken.exchange (true))
                                        closing->device.reset();

                                    closing->closed.signal();

                                    // Timers run in the order they fall due: this one after the framework's.
                                    juce::Timer::callAfterDelay (frameworkCloseDelayMs + 15, [closing] { closing->settled.signal(); });
                                });

            if (posted)
                while (! closing->settled.wait (10))
                    if (juce::Thread::currentThreadShouldExit() || mm->hasStopMessageBeenSent())
                        break;

            if (! closing->taken.exchange (true))
                closing->device.reset();
            else
                closing->closed.wait (-1); // the message thread is closing it; that ends shortly
        }

        static constexpr int frameworkCloseDelayMs = 10;
       #endif

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            if (forwarding)
                receiver.handleIncomingMidiMessage (listedName, message);
        }

        MidiPortReceiver& receiver;
        juce::String listedName; // set before the device is opened, only read afterwards
        std::unique_ptr<juce::MidiInput> input;
        std::atomic<bool> forwarding { false }; // read on the framework's input thread
        std::atomic<bool> running { false };    // the device is started
    };

   #if JUCE_LINUX
    /** On Linux every message leaves through an ALSA port of the output's own (AlsaSysexStream) on
        the program's sending client, never through the framework's output: that one drops a SysEx
        that does not end within one send, and says of no send whether it worked. */
    class AlsaOutputPort final : public MidiOutputPort
    {
    public:
        AlsaOutputPort (std::shared_ptr<AlsaSendingClient> client, const juce::String& identifier)
            : stream (std::move (client), identifier) {}

        bool isOpen() const noexcept { return stream.isOpen(); }

        juce::Result sendMessageNow (const juce::MidiMessage& message) override
        {
            return stream.send (message.getRawData(), (size_t) message.getRawDataSize());
        }

    private:
        AlsaSysexStream stream;
    };

    /** An input handed out from the shelf: stopping and deleting it stops its port and puts it
        back on the shelf, open, for the next poll. */
    class KeptInputPort final : public MidiInputPort
    {
    public:
        KeptInputPort (std::unique_ptr<MidiInputPort> portToKeep, std::weak_ptr<OpenPortShelf<MidiInputPort>> shelfToUse,
                       const juce::String& keyToUse, std::uint64_t stampToUse)
            : port (std::move (portToKeep)), shelf (std::move (shelfToUse)), key (keyToUse), stamp (stampToUse) {}

        ~KeptInputPort() override
        {
            port->stop();

            if (auto owner = shelf.lock())
                owner->giveBack (key, stamp, std::move (port));
        }

        void start() override { port->start(); }
        void stop() override  { port->stop(); }

    private:
        std::unique_ptr<MidiInputPort> port;
        std::weak_ptr<OpenPortShelf<MidiInputPort>> shelf;
        const juce::String key;
        const std::uint64_t stamp;
    };

    /** An output handed out from the shelf: deleting it puts it back, unless a send on it failed
        (a stream the sequencer refuses is opened afresh next time). */
    class KeptOutputPort final : public MidiOutputPort
    {
    public:
        KeptOutputPort (std::unique_ptr<MidiOutputPort> portToKeep, std::weak_ptr<OpenPortShelf<MidiOutputPort>> shelfToUse,
                        const juce::String& keyToUse, std::uint64_t stampToUse)
            : port (std::move (portToKeep)), shelf (std::move (shelfToUse)), key (keyToUse), stamp (stampToUse) {}

        ~KeptOutputPort() override
        {
            if (auto owner = shelf.lock(); owner != nullptr && ! refused)
                owner->giveBack (key, stamp, std::move (port));
        }

        juce::Result sendMessageNow (const juce::MidiMessage& message) override
        {
            auto result = port->sendMessageNow (message);
            refused = refused || result.failed();
            return result;
        }

        void announceImage (size_t totalBytes) override { port->announceImage (totalBytes); }

    private:
        std::unique_ptr<MidiOutputPort> port;
        std::weak_ptr<OpenPortShelf<MidiOutputPort>> shelf;
        const juce::String key;
        const std::uint64_t stamp;
        bool refused = false;
    };
   #elif JUCE_WINDOWS
    /** On Windows an output of winmm's own, opened at the position the framework lists the device
        at (its device ID): the framework's output waits for each long buffer by polling its flag
        every millisecond, without end, and says of no send whether it worked. This one waits for
        the driver's MOM_DONE, and reports every refusal with winmm's reason: a device unplugged
        (MIDIERR_NODEVICE) ends a transfer on its next packet, and a port that another program has
        open (MMSYSERR_ALLOCATED; Windows' MIDI ports are exclusive) says so on every send. */
    class WinmmOutputPort final : public MidiOutputPort
    {
    public:
        WinmmOutputPort (UINT deviceId, const juce::String& name)
        {
            if (done == nullptr)
            {
                opened = MMSYSERR_NOMEM;
                return;
            }

            opened = midiOutOpen (&handle, deviceId, (DWORD_PTR) done, 0, CALLBACK_EVENT);

            if (opened != MMSYSERR_NOERROR)
                handle = nullptr;

            PortsInUseElsewhere::get().note ("MIDI output [" + name + "]", opened == MMSYSERR_ALLOCATED);
        }

        ~WinmmOutputPort() override
        {
            if (handle != nullptr)
            {
                midiOutReset (handle);
                midiOutClose (handle);
            }

            if (done != nullptr)
                CloseHandle (done);
        }

        juce::Result sendMessageNow (const juce::MidiMessage& message) override
        {
            if (handle == nullptr)
                return failure ("cannot be opened", opened);

            const auto* data = message.getRawData();
            const auto size = message.getRawDataSize();

            if (size <= 3 && ! message.isSysEx())
            {
                DWORD packed = 0;

                for (int i = 0; i < size; ++i)
                    packed |= (DWORD) data[i] << (8 * i);

                const auto result = midiOutShortMsg (handle, packed);
                return result == MMSYSERR_NOERROR ? juce::Result::ok() : failure ("refused the message", result);
            }

            MIDIHDR header {};
            header.lpData = (LPSTR) const_cast<juce::uint8*> (data);
            header.dwBufferLength = header.dwBytesRecorded = (DWORD) size;

            auto result = midiOutPrepareHeader (handle, &header, sizeof (header));

            if (result != MMSYSERR_NOERROR)
                return failure ("refused the buffer", result);

            result = midiOutLongMsg (handle, &header, sizeof (header));

            if (result == MMSYSERR_NOERROR)
            {
                // The event is also set for other notices; the flag says when this buffer is done.
                // A thread asked to end takes its buffer back rather than wait for a device that
                // does not read.
                while ((header.dwFlags & MHDR_DONE) == 0)
                {
                    if (WaitForSingleObject (done, stopCheckMs) == WAIT_OBJECT_0)
                        continue;

                    if (juce::Thread::currentThreadShouldExit())
                    {
                        midiOutReset (handle);
                        result = MMSYSERR_ERROR;
                        break;
                    }
                }
            }

            const auto unprepared = midiOutUnprepareHeader (handle, &header, sizeof (header));

            if (result != MMSYSERR_NOERROR)
                return failure (result == MMSYSERR_ERROR ? "was stopped while it sent" : "refused the buffer", result);

            return unprepared == MMSYSERR_NOERROR ? juce::Result::ok() : failure ("kept the buffer", unprepared);
        }

    private:
        static juce::Result failure (const char* what, MMRESULT code)
        {
            if (code == MMSYSERR_ALLOCATED)
                return juce::Result::fail ("the port is in use by another program (MMSYSERR_ALLOCATED): close the other "
                                           "MIDI program, or choose another port");

            if (code == MIDIERR_NODEVICE)
                return juce::Result::fail ("the device is gone (MIDIERR_NODEVICE)");

            WCHAR text[MAXERRORLENGTH] {};
            const auto described = midiOutGetErrorTextW (code, text, MAXERRORLENGTH) == MMSYSERR_NOERROR;
            return juce::Result::fail (juce::String ("the port ") + what + ": "
                                       + (described ? juce::String (text) : juce::String ("error")) + " (" + juce::String ((int) code) + ")");
        }

        static constexpr DWORD stopCheckMs = 100;

        HANDLE done = CreateEventW (nullptr, FALSE, FALSE, nullptr);
        HMIDIOUT handle = nullptr;
        MMRESULT opened = MMSYSERR_NOERROR;
    };
   #else
    /** Elsewhere the framework's output: it does not say whether a send worked, so every send
        counts as taken. */
    class JuceOutputPort final : public MidiOutputPort
    {
    public:
        explicit JuceOutputPort (std::unique_ptr<juce::MidiOutput> outputToUse) : output (std::move (outputToUse)) {}

        juce::Result sendMessageNow (const juce::MidiMessage& message) override
        {
            output->sendMessageNow (message);
            return juce::Result::ok();
        }

    private:
        std::unique_ptr<juce::MidiOutput> output;
    };
   #endif
}

#if JUCE_LINUX
namespace
{
    // The port lists are read on every poll; on a machine without an ALSA sequencer each read
    // would print the library's "cannot open /dev/snd/seq" to standard error.
    void ignoreAlsaError (const char*, int, const char*, int, const char*, ...) {}
}
#endif

namespace
{
    // A machine may have no sequencer now and one later: ALSA loads its module on the first
    // open, and USB devices come and go. While it cannot be opened, the port lists are empty
    // and the open is tried again only this often (the lists are read ten times a second).
    constexpr double sequencerRetryMs = 3000.0;

    /** The identifier a user sees and gives (vfu-update --port): ALSA's own "client:port" on Linux,
        where the framework writes "client-port"; the framework's identifier elsewhere. */
    juce::Array<juce::MidiDeviceInfo> withPublicIdentifiers (juce::Array<juce::MidiDeviceInfo> devices)
    {
       #if JUCE_LINUX
        for (auto& device : devices)
            device.identifier = device.identifier.replaceFirstOccurrenceOf ("-", ":");
       #endif
        return devices;
    }

    juce::MidiDeviceInfo deviceAt (const juce::Array<juce::MidiDeviceInfo>& devices, int index)
    {
        return juce::isPositiveAndBelow (index, devices.size()) ? devices.getReference (index) : juce::MidiDeviceInfo();
    }
}

JuceMidiPorts::JuceMidiPorts()
    : keptInputs (std::make_shared<OpenPortShelf<MidiInputPort>>()),
      keptOutputs (std::make_shared<OpenPortShelf<MidiOutputPort>>())
{
   #if JUCE_LINUX
    snd_lib_error_set_handler (ignoreAlsaError);
   #endif
}

JuceMidiPorts::~JuceMidiPorts()
{
    closeIdlePorts();
}

void JuceMidiPorts::closeIdlePorts()
{
    keptInputs->clear();
    keptOutputs->clear();
}

OpenPortShelf<MidiInputPort>::StampOf JuceMidiPorts::stampOfKey()
{
    // A key is the port's identifier, and for an input the receiver's after a slash.
    return [this] (const juce::String& key) { return alsaPorts.departureStamp (key.upToFirstOccurrenceOf ("/", false, false)); };
}

bool JuceMidiPorts::sequencerAvailable()
{
   #if JUCE_LINUX
    if (sequencerSeen.load())
        return true;

    const auto now = juce::Time::getMillisecondCounterHiRes();

    if (now < nextSequencerAttempt.load())
        return false;

    if (! alsaPorts.open())
    {
        nextSequencerAttempt = now + sequencerRetryMs;
        return false;
    }

    sequencerSeen = true;
   #endif
    return true;
}

juce::Array<juce::MidiDeviceInfo> JuceMidiPorts::availableDevices (bool inputs)
{
   #if JUCE_LINUX
    return alsaPorts.list (inputs);
   #else
    return inputs ? juce::MidiInput::getAvailableDevices() : juce::MidiOutput::getAvailableDevices();
   #endif
}

juce::Array<juce::MidiDeviceInfo> JuceMidiPorts::listAndRemember (bool inputs)
{
    if (! sequencerAvailable())
        return {};

    const auto devices = availableDevices (inputs);
    remember (devices, inputs);
    return devices;
}

juce::StringArray JuceMidiPorts::getInputNames()
{
    return namesOf (listAndRemember (true));
}

juce::StringArray JuceMidiPorts::getOutputNames()
{
    return namesOf (listAndRemember (false));
}

juce::Array<juce::MidiDeviceInfo> JuceMidiPorts::getInputDevices()
{
    return withPublicIdentifiers (listAndRemember (true));
}

juce::Array<juce::MidiDeviceInfo> JuceMidiPorts::getOutputDevices()
{
    return withPublicIdentifiers (listAndRemember (false));
}

bool JuceMidiPorts::belongTogether (const juce::MidiDeviceInfo& input, const juce::MidiDeviceInfo& output) const
{
   #if JUCE_LINUX
    // One ALSA client is one device (a USB instrument, a program's virtual device)...
    const auto clientOf = [] (const juce::MidiDeviceInfo& device)
    {
        return device.identifier.upToFirstOccurrenceOf (":", false, false).upToFirstOccurrenceOf ("-", false, false);
    };

    const auto inputClient = clientOf (input), outputClient = clientOf (output);

    if (inputClient == outputClient)
        return true;

    // ... or a program's device that sends from one client and receives on another, neither of
    // which has a port of the other direction. Two such devices cannot be told apart.
    const auto hasPortOn = [&clientOf] (const juce::Array<juce::MidiDeviceInfo>& list, const juce::String& client)
    {
        return std::any_of (list.begin(), list.end(), [&] (const juce::MidiDeviceInfo& d) { return clientOf (d) == client; });
    };

    const juce::ScopedLock sl (listLock);
    return ! hasPortOn (listedOutputs, inputClient) && ! hasPortOn (listedInputs, outputClient);
   #else
    juce::ignoreUnused (input, output);
    return true;
   #endif
}

juce::String JuceMidiPorts::locationOf (const juce::MidiDeviceInfo& port)
{
   #if JUCE_LINUX
    return alsaPorts.locationOf (port.identifier);
   #else
    juce::ignoreUnused (port);
    return {};
   #endif
}

std::uint64_t JuceMidiPorts::getListsGeneration()
{
   #if JUCE_LINUX
    return alsaPorts.getListsGeneration();
   #else
    // The framework's lists are read afresh each time, with nothing that tells of a change.
    return 0;
   #endif
}

void JuceMidiPorts::remember (const juce::Array<juce::MidiDeviceInfo>& devices, bool inputs)
{
    const juce::ScopedLock sl (listLock);
    (inputs ? listedInputs : listedOutputs) = devices;
}

juce::MidiDeviceInfo JuceMidiPorts::deviceToOpen (int index, bool inputs)
{
    // Positions refer to the last list the caller read. A port that vanished since, or moved
    // away from that position, is not opened in place of another one: the open fails instead.
    const auto current = deviceAt (availableDevices (inputs), index);

    juce::MidiDeviceInfo listed;
    bool haveList;

    {
        const juce::ScopedLock sl (listLock);
        const auto& list = inputs ? listedInputs : listedOutputs;
        haveList = ! list.isEmpty();
        listed = deviceAt (list, index);
    }

    if (current.identifier.isEmpty() || (haveList && (listed.name != current.name || listed.identifier != current.identifier)))
        return {};

    return current;
}

std::unique_ptr<MidiInputPort> JuceMidiPorts::openInput (int index, MidiPortReceiver& receiver)
{
    const auto device = deviceToOpen (index, true);

    if (device.identifier.isEmpty())
        return nullptr;

    return openListedInput (device, receiver);
}

std::unique_ptr<MidiInputPort> JuceMidiPorts::openInputDevice (const juce::MidiDeviceInfo& device, MidiPortReceiver& receiver)
{
    const auto current = availableDevices (true);
    const auto position = withPublicIdentifiers (current).indexOf (device);

    if (device.identifier.isEmpty() || position < 0)
        return nullptr;

    return openListedInput (current.getReference (position), receiver);
}

std::unique_ptr<MidiInputPort> JuceMidiPorts::openListedInput (const juce::MidiDeviceInfo& device, MidiPortReceiver& receiver)
{
   #if JUCE_LINUX
    // A port stays open between polls; one kept for another receiver is not this one's.
    const auto key = device.identifier + "/" + juce::String::toHexString ((juce::pointer_sized_int) &receiver);
    std::uint64_t stamp = 0;

    if (auto kept = keptInputs->take (key, stampOfKey(), stamp))
        return std::make_unique<KeptInputPort> (std::move (kept), keptInputs, key, stamp);

    // Read before the open: a departure announced from now on means this connection is gone.
    stamp = alsaPorts.departureStamp (device.identifier);
   #endif

    auto port = std::make_unique<JuceInputPort> (receiver);

    if (! port->open (device))
    {
       #if JUCE_WINDOWS
        // The framework does not say why an open failed; a port that another program has open is
        // worth telling the user, so the device is asked once more, directly.
        const auto position = availableDevices (true).indexOf (device);
        HMIDIIN probe = nullptr;
        const auto result = position >= 0 ? midiInOpen (&probe, (UINT) position, 0, 0, CALLBACK_NULL) : MMSYSERR_BADDEVICEID;

        if (result == MMSYSERR_NOERROR)
            midiInClose (probe);

        PortsInUseElsewhere::get().note ("MIDI input [" + device.name + "]", result == MMSYSERR_ALLOCATED);
       #endif
        return nullptr;
    }

   #if JUCE_WINDOWS
    PortsInUseElsewhere::get().note ("MIDI input [" + device.name + "]", false);
   #endif

   #if JUCE_LINUX
    return std::make_unique<KeptInputPort> (std::move (port), keptInputs, key, stamp);
   #else
    return port;
   #endif
}

std::shared_ptr<AlsaSendingClient> JuceMidiPorts::sendingClientForOutputs()
{
    {
        const juce::ScopedLock sl (sendingClientLock);

        if (sendingClient != nullptr && sendingClient->isOpen())
            return sendingClient;
    }

    // Opened (or found) outside the lock; a client that could not be opened is not kept, so the
    // next output tries again.
    auto client = AlsaSendingClient::shared();

    if (client->isOpen())
    {
        const juce::ScopedLock sl (sendingClientLock);
        sendingClient = client;
    }

    return client;
}

std::unique_ptr<MidiOutputPort> JuceMidiPorts::openOutput (int index)
{
    const auto device = deviceToOpen (index, false);

    if (device.identifier.isEmpty())
        return nullptr;

    return openListedOutput (device);
}

std::unique_ptr<MidiOutputPort> JuceMidiPorts::openOutputDevice (const juce::MidiDeviceInfo& device)
{
    // The port is opened by its identifier, so it is the one asked for if it is listed at all.
    const auto current = availableDevices (false);
    const auto position = withPublicIdentifiers (current).indexOf (device);

    if (device.identifier.isEmpty() || position < 0)
        return nullptr;

    return openListedOutput (current.getReference (position));
}

std::unique_ptr<MidiOutputPort> JuceMidiPorts::openListedOutput (const juce::MidiDeviceInfo& device)
{
   #if JUCE_LINUX
    std::uint64_t stamp = 0;

    if (auto kept = keptOutputs->take (device.identifier, stampOfKey(), stamp))
        return std::make_unique<KeptOutputPort> (std::move (kept), keptOutputs, device.identifier, stamp);

    stamp = alsaPorts.departureStamp (device.identifier);

    // The client is opened here, on the opening thread; a client the sequencer refuses makes
    // every send fail with its reason, so that a transfer ends on its first packet and says why.
    auto output = std::make_unique<AlsaOutputPort> (sendingClientForOutputs(), device.identifier);

    if (! output->isOpen())
        return output;

    return std::make_unique<KeptOutputPort> (std::move (output), keptOutputs, device.identifier, stamp);
   #elif JUCE_WINDOWS
    // Windows' device IDs are the positions in the framework's list. A port that cannot be opened
    // is still handed out: its sends fail with the reason (another program has it open, say), so
    // that the log and the terminal say why nothing reached the instrument.
    const auto position = availableDevices (false).indexOf (device);

    if (position < 0)
        return nullptr;

    return std::make_unique<WinmmOutputPort> ((UINT) position, device.name);
   #else
    if (auto output = juce::MidiOutput::openDevice (device.identifier))
        return std::make_unique<JuceOutputPort> (std::move (output));

    return nullptr;
   #endif
}

juce::StringArray JuceMidiPorts::getPortsInUseByOtherPrograms()
{
    auto& registry = PortsInUseElsewhere::get();
    const std::lock_guard<std::mutex> guard (registry.mutex);
    return registry.names;
}

std::shared_ptr<MidiPorts> MidiPorts::makeSystemPorts()
{
    return std::make_shared<JuceMidiPorts>();
}
