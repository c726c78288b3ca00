#include "UsbGadgetPorts.h"

#include "KernelFiles.h"
#include "MidiStreamSplitter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>
 #include <poll.h>
 #include <sys/eventfd.h>
 #include <unistd.h>
#endif

namespace
{
    constexpr int hostPollMs = 20;

    // What the instrument's raw MIDI input holds unread: a whole image, about two minutes of a
    // paced transfer.
    constexpr size_t readBufferBytes = 512 * 1024;

    // A name for configfs and an ALSA card id (up to 15 letters and digits) made from a controller's.
    juce::String lettersAndDigits (const juce::String& text)
    {
        return text.retainCharacters ("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    }

    juce::String cardIdFor (const juce::String& prefix, const juce::String& controller)
    {
        return (prefix + lettersAndDigits (controller)).substring (0, 15);
    }
}

#if JUCE_LINUX

namespace
{
    // A USB vendor or product ID as lsusb shows it.
    juce::String hex4 (int value)
    {
        return juce::String::toHexString (value & 0xffff).paddedLeft ('0', 4);
    }
}

//==============================================================================
/** Reads what the host side sends to the gadget and hands it to the device, on a thread of its
    own; stalls where told. Ends on stop(), or when the raw MIDI device fails. */
class UsbGadgetPorts::Reader
{
public:
    Reader (UsbGadgetPorts& o, snd_rawmidi_t* in, Device* d, juce::String name)
        : owner (o), input (in), device (d), portName (std::move (name)), stopFd (::eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
    }

    ~Reader()
    {
        stop();
        join();

        if (stopFd >= 0)
            ::close (stopFd);
    }

    /** False when no stop event could be made (then no thread runs). */
    bool start()
    {
        if (stopFd < 0)
            return false;

        thread = std::thread ([this] { run(); });
        return true;
    }

    void stop()
    {
        stopRequested = true;

        if (stopFd >= 0)
        {
            const uint64_t one = 1;

            if (::write (stopFd, &one, sizeof (one)) != (ssize_t) sizeof (one))
                owner.say ("cannot wake the raw MIDI reader: " + juce::String::fromUTF8 (std::strerror (errno)));
        }
    }

    bool isCurrentThread() const { return thread.get_id() == std::this_thread::get_id(); }

    void join()
    {
        if (thread.joinable() && ! isCurrentThread())
            thread.join();
    }

private:
    void run()
    {
        const auto descriptors = snd_rawmidi_poll_descriptors_count (input);

        if (descriptors < 1 || descriptors > 4)
        {
            owner.say ("the gadget's raw MIDI device offers nothing to wait on");
            return;
        }

        std::vector<pollfd> fds ((size_t) descriptors + 1);
        fds[0] = { stopFd, POLLIN, 0 };
        snd_rawmidi_poll_descriptors (input, fds.data() + 1, (unsigned int) descriptors);

        juce::uint8 buffer[4096];

        while (! stopRequested)
        {
            for (auto& fd : fds)
                fd.revents = 0;

            if (::poll (fds.data(), (nfds_t) fds.size(), -1) < 0)
            {
                if (errno == EINTR)
                    continue;

                owner.say ("cannot wait for the gadget's raw MIDI device: " + juce::String::fromUTF8 (std::strerror (errno)));
                break;
            }

            if (stopRequested)
                break;

            // Never read past the point where it stalls, so that the kernel holds the rest.
            auto wanted = sizeof (buffer);

            if (owner.options.stallAtSysexByte > 0 && inSysex && ! stalled && sysexBytes < owner.options.stallAtSysexByte)
                wanted = juce::jmin (wanted, owner.options.stallAtSysexByte - sysexBytes);

            const auto got = snd_rawmidi_read (input, buffer, wanted);

            if (got == -EAGAIN || got == -EINTR)
                continue;

            if (got < 0)
            {
                owner.say ("cannot read the gadget's raw MIDI device: " + juce::String::fromUTF8 (snd_strerror ((int) got)));
                break;
            }

            handOn (buffer, (size_t) got);
        }

        splitter.cutOff ([this] (const std::vector<juce::uint8>& bytes, bool complete) { report (bytes, complete); });
    }

    // Delivers bytes to the device in order, stopping for the stall where a SysEx reaches its size.
    void handOn (const juce::uint8* data, size_t size)
    {
        size_t from = 0;

        for (size_t i = 0; i < size && ! stopRequested; ++i)
        {
            const auto byte = data[i];

            if (byte >= 0xf8)
                continue;

            if (byte == 0xf0)
            {
                inSysex = true;
                sysexBytes = 0;
                stalled = false;
            }
            else if (byte >= 0x80)
            {
                inSysex = false;
            }

            if (! inSysex)
                continue;

            ++sysexBytes;

            if (owner.options.stallAtSysexByte > 0 && ! stalled && sysexBytes == owner.options.stallAtSysexByte)
            {
                stalled = true;
                deliver (data + from, i + 1 - from);
                from = i + 1;
                stall();
            }
        }

        if (! stopRequested && from < size)
            deliver (data + from, size - from);
    }

    void deliver (const juce::uint8* data, size_t size)
    {
        if (size == 0 || stopRequested)
            return;

        if (owner.monitor != nullptr)
            splitter.read (data, size, [this] (const std::vector<juce::uint8>& bytes, bool complete) { report (bytes, complete); });

        // The device may pull its ports out from in here: nothing of the plug is used after it.
        if (device != nullptr)
            device->receivedFromUpdater (juce::MidiMessage (data, (int) size, 0.0));
    }

    void stall()
    {
        owner.say ("stalls for " + juce::String (owner.options.stallMs) + " ms at byte "
                   + juce::String ((juce::int64) sysexBytes) + " of a SysEx");

        pollfd fd { stopFd, POLLIN, 0 };
        const auto endMs = juce::Time::getMillisecondCounterHiRes() + owner.options.stallMs;

        for (;;)
        {
            const auto left = endMs - juce::Time::getMillisecondCounterHiRes();

            if (stopRequested || left <= 0)
                break;

            if (::poll (&fd, 1, (int) std::ceil (left)) < 0 && errno != EINTR)
                break;
        }

        if (stopRequested)
            return;

        snd_rawmidi_status_t* status = nullptr;

        if (snd_rawmidi_status_malloc (&status) == 0)
        {
            if (snd_rawmidi_status (input, status) == 0)
                owner.say ("reads again; the kernel dropped " + juce::String ((juce::int64) snd_rawmidi_status_get_xruns (status))
                           + " bytes that the gadget could not hold meanwhile");
            else
                owner.say ("reads again; the raw MIDI device does not say what it dropped");

            snd_rawmidi_status_free (status);
        }
    }

    void report (const std::vector<juce::uint8>& bytes, bool complete)
    {
        if (owner.monitor != nullptr)
            owner.monitor->messageReceived (portName, bytes, complete);
    }

    UsbGadgetPorts& owner;
    snd_rawmidi_t* const input;
    Device* const device;
    const juce::String portName;
    const int stopFd;
    std::atomic<bool> stopRequested { false };
    std::thread thread;
    MidiStreamSplitter splitter;
    bool inSysex = false;          // of the bytes read so far: a SysEx is under way,
    size_t sysexBytes = 0;         // with this many bytes (F0 included),
    bool stalled = false;          // and it stalled already
};

#else

class UsbGadgetPorts::Reader
{
};

#endif

//==============================================================================
juce::String UsbGadgetPorts::checkSystem (const juce::String& controller)
{
   #if ! JUCE_LINUX
    juce::ignoreUnused (controller);
    return "USB gadgets need Linux";
   #else
    if (::geteuid() != 0)
        return "it must run as root: it makes a USB gadget in configfs";

    if (! KernelFiles::exists (UsbGadget::gadgetRoot()))
        return "there is no " + UsbGadget::gadgetRoot() + " (mount configfs on /sys/kernel/config and load libcomposite)";

    const auto controllers = UsbGadget::availableControllers();

    if (! controllers.contains (controller))
        return "there is no USB device controller " + controller + " (load dummy_hcd, e.g. modprobe dummy_hcd num=2); "
               + (controllers.isEmpty() ? juce::String ("there are none") : "there are: " + controllers.joinIntoString (", "));

    return {};
   #endif
}

UsbGadgetPorts::UsbGadgetPorts (SystemVirtualPorts::Monitor* monitorToUse, std::function<void (const juce::String&)> noticeToUse,
                                Options optionsToUse)
    : monitor (monitorToUse),
      notice (std::move (noticeToUse)),
      options (std::move (optionsToUse)),
      gadget ("vfu-" + lettersAndDigits (options.controller), cardIdFor ("vfu", options.controller))
{
   #if JUCE_LINUX
    wakeFd = ::eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK);

    if (wakeFd < 0)
        say ("cannot make an event to end waits: " + juce::String::fromUTF8 (std::strerror (errno)));
   #endif
}

UsbGadgetPorts::~UsbGadgetPorts()
{
    stopping = true;

   #if JUCE_LINUX
    if (wakeFd >= 0)
    {
        const uint64_t one = 1;

        if (::write (wakeFd, &one, sizeof (one)) != (ssize_t) sizeof (one))
            say ("cannot end the waits: " + juce::String::fromUTF8 (std::strerror (errno)));
    }
   #endif

    PlugId plugged;

    {
        const std::lock_guard<std::mutex> lock (stateMutex);
        plugged = current;
    }

    pullOut (plugged);
    joinRetiredReaders();

    for (auto* g : { &gadget, filler.get() })
    {
        if (g == nullptr || ! g->isCreated())
            continue;

        const auto error = g->remove();

        if (error.isNotEmpty())
            say ("cannot remove the gadget " + g->getName() + ": " + error);
    }

   #if JUCE_LINUX
    if (wakeFd >= 0)
        ::close (wakeFd);
   #endif
}

void UsbGadgetPorts::say (const juce::String& text) const
{
    if (notice != nullptr)
        notice (text);
}

bool UsbGadgetPorts::waitUntil (const std::function<bool()>& condition, int timeoutMs) const
{
    const auto endMs = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

    while (! condition())
    {
        if (stopping || juce::Time::getMillisecondCounterHiRes() >= endMs)
            return false;

       #if JUCE_LINUX
        // Sleeps a step, or less when the destructor wakes it.
        pollfd fd { wakeFd, POLLIN, 0 };

        if (wakeFd < 0 || ::poll (&fd, 1, hostPollMs) < 0)
            juce::Thread::sleep (hostPollMs);
       #else
        juce::Thread::sleep (hostPollMs);
       #endif
    }

    return true;
}

juce::String UsbGadgetPorts::hostPrefix (const juce::String& controller) const
{
    // dummy_hcd pairs its gadget side dummy_udc.N with the host controller dummy_hcd.N, whose
    // first port the device is on.
    if (controller.startsWith ("dummy_udc."))
        return "usb-dummy_hcd." + controller.fromFirstOccurrenceOf ("dummy_udc.", false, false) + "-";

    return "usb-" + controller + "-";
}

std::vector<UsbHostCard> UsbGadgetPorts::hostCards (const juce::String& controller, const juce::String& product) const
{
    auto cards = UsbHostCard::findAt (hostPrefix (controller));

    if (product.isNotEmpty())
        cards.erase (std::remove_if (cards.begin(), cards.end(),
                                     [&product] (const UsbHostCard& card) { return ! card.longName.startsWith ("Vorn " + product + " at "); }),
                     cards.end());

    return cards;
}

juce::String UsbGadgetPorts::prepare()
{
    if (gadget.isCreated())
        return {};

    const auto problem = checkSystem (options.controller);

    if (problem.isNotEmpty())
        return problem;

    bool leftOver = false;
    const auto error = gadget.create (leftOver);

    if (leftOver)
        say ("removed the gadget " + gadget.getName() + " that an earlier run left behind");

    if (error.isNotEmpty())
        return "cannot make the USB gadget: " + error + " (is usb_f_midi loaded?)";

    return {};
}

void UsbGadgetPorts::joinRetiredReaders()
{
    std::vector<std::unique_ptr<Reader>> done;

    {
        const std::lock_guard<std::mutex> lock (stateMutex);

        for (auto it = retired.begin(); it != retired.end();)
        {
           #if JUCE_LINUX
            if (! (*it)->isCurrentThread())
            {
                done.push_back (std::move (*it));
                it = retired.erase (it);
                continue;
            }
           #endif
            ++it;
        }
    }

    done.clear(); // joins them, with no lock held
}

DevicePortHost::PlugId UsbGadgetPorts::plugIn (const juce::String& inputName, const juce::String& outputName, Device* device, int, int)
{
   #if ! JUCE_LINUX
    juce::ignoreUnused (inputName, outputName, device);
    return 0;
   #else
    {
        const std::lock_guard<std::mutex> lock (stateMutex);

        if (current != 0 || changing || stopping)
            return 0;

        changing = true;
    }

    const auto done = [this] (PlugId id, const juce::String& name, const UsbHostCard& host)
    {
        {
            const std::lock_guard<std::mutex> lock (stateMutex);
            current = id;
            portName = name;
            hostSide = host;
            changing = false;
        }

        return id;
    };

    joinRetiredReaders();

    const auto error = prepare();

    if (error.isNotEmpty())
    {
        say (error);
        return done (0, {}, {});
    }

    const auto base = inputName.isNotEmpty() ? inputName : outputName;
    const auto bootloader = options.inBootloader != nullptr && options.inBootloader();
    const auto renamed = bootloader && ! options.keepName;

    UsbGadget::Identity identity;
    identity.vendorId = options.vendorId;
    identity.productId = renamed ? options.bootloaderProductId : options.productId;
    identity.manufacturer = "Vorn";
    identity.product = renamed ? base + " Bootloader" : base;
    identity.serialNumber = lettersAndDigits (options.controller);

    auto problem = gadget.setIdentity (identity);

    if (problem.isEmpty())
        problem = gadget.bind (options.controller);

    if (problem.isNotEmpty())
    {
        say ("cannot plug in the USB device: " + problem);
        return done (0, {}, {});
    }

    // The gadget's own card is registered by the time the bind returns.
    const auto ownCard = gadget.findOwnCard();
    snd_rawmidi_t* in = nullptr;
    snd_rawmidi_t* out = nullptr;
    int openError = -ENODEV;

    if (ownCard >= 0)
        openError = snd_rawmidi_open (&in, &out, ("hw:" + juce::String (ownCard) + ",0").toRawUTF8(), SND_RAWMIDI_NONBLOCK);

    if (openError < 0)
    {
        say ("cannot open the gadget's raw MIDI device" + (ownCard >= 0 ? " hw:" + juce::String (ownCard) + ",0" : juce::String())
             + ": " + juce::String::fromUTF8 (snd_strerror (openError)));
        const auto unbound = gadget.unbind();

        if (unbound.isNotEmpty())
            say ("cannot unplug the USB device: " + unbound);

        return done (0, {}, {});
    }

    // A real instrument reads its USB endpoint in hardware; this one is a program that a busy
    // machine (or an emulated one) may not run for a while, and the kernel drops what its 4 KiB
    // buffer cannot hold. A larger buffer keeps it from losing what it would have read in time.
    // A stalling bootloader keeps the kernel's size, and loses what a real one would.
    if (options.stallAtSysexByte == 0)
    {
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca (&params);

        if (snd_rawmidi_params_current (in, params) < 0 || snd_rawmidi_params_set_buffer_size (in, params, readBufferBytes) < 0
            || snd_rawmidi_params (in, params) < 0)
            say ("cannot enlarge the raw MIDI device's buffer; it holds what the kernel gives it");
    }

    {
        const std::lock_guard<std::mutex> lock (ioMutex);
        rawMidiIn = in;
        rawMidiOut = out;
    }

    auto newReader = std::make_unique<Reader> (*this, in, device, identity.product);

    if (! newReader->start())
    {
        say ("cannot start the raw MIDI reader: " + juce::String::fromUTF8 (std::strerror (errno)));
        newReader.reset();
        closeRawMidi();
        gadget.unbind();
        return done (0, {}, {});
    }

    {
        const std::lock_guard<std::mutex> lock (stateMutex);
        reader = std::move (newReader);
    }

    // The host enumerates the device on its own time; the sequencer client follows the card.
    UsbHostCard host;
    const auto found = waitUntil ([&]
    {
        const auto cards = hostCards (options.controller, identity.product);

        if (cards.size() != 1 || cards.front().client < 0)
            return false;

        host = cards.front();
        return true;
    }, options.hostTimeoutMs);

    const auto usbName = "USB device \"Vorn " + identity.product + "\" (" + hex4 (identity.vendorId) + ":" + hex4 (identity.productId) + ")";

    if (found)
        say (usbName + " at " + host.describe());
    else if (! stopping)
        say (usbName + " on " + options.controller + ": the host side did not list it within "
             + juce::String (options.hostTimeoutMs / 1000) + " s");

    const auto id = done (++lastPlug, identity.product, host);

    // A filler that took this device's old card number gives it back once the device is here.
    if (options.renumber && fillerPlugged && ! stopping)
        switchFiller();

    if (monitor != nullptr)
        monitor->portsChanged (host.portName.isNotEmpty() ? host.portName : identity.product,
                               host.portName.isNotEmpty() ? host.portName : identity.product, true);

    return id;
   #endif
}

void UsbGadgetPorts::pullOut (PlugId id)
{
   #if ! JUCE_LINUX
    juce::ignoreUnused (id);
   #else
    std::unique_ptr<Reader> oldReader;
    juce::String name;
    UsbHostCard host;

    {
        const std::lock_guard<std::mutex> lock (stateMutex);

        if (id == 0 || id != current)
            return;

        current = 0;
        changing = true;
        oldReader = std::move (reader);
        name = portName;
        host = hostSide;
    }

    // A call into the device on the reader thread ends first, unless this is that call: then
    // the reader ends when it returns, and a later plugIn or the destructor joins it.
    if (oldReader != nullptr)
    {
        oldReader->stop();

        if (oldReader->isCurrentThread())
        {
            const std::lock_guard<std::mutex> lock (stateMutex);
            retired.push_back (std::move (oldReader));
        }
        else
        {
            oldReader.reset();
        }
    }

    closeRawMidi();

    const auto error = gadget.unbind();

    if (error.isNotEmpty())
        say ("cannot unplug the USB device: " + error);

    // The host lets the card go on its own time; the device is away once it has.
    const auto product = name;

    if (! waitUntil ([&] { return hostCards (options.controller, product).empty(); }, options.hostTimeoutMs) && ! stopping)
        say ("the host side still lists the card of \"Vorn " + product + "\" after " + juce::String (options.hostTimeoutMs / 1000) + " s");

    if (options.renumber && ! stopping)
        switchFiller();

    {
        const std::lock_guard<std::mutex> lock (stateMutex);
        changing = false;
    }

    if (monitor != nullptr)
        monitor->portsChanged (host.portName.isNotEmpty() ? host.portName : name, host.portName.isNotEmpty() ? host.portName : name, false);
   #endif
}

void UsbGadgetPorts::switchFiller()
{
   #if JUCE_LINUX
    if (filler == nullptr)
    {
        // The last free controller, so that instruments on the first ones keep theirs.
        const auto free = UsbGadget::freeControllers();

        if (free.isEmpty())
        {
            say ("no free USB controller for the filler device (renumbering needs one more controller than instruments)");
            return;
        }

        fillerController = free[free.size() - 1];
        filler = std::make_unique<UsbGadget> ("vfu-filler-" + lettersAndDigits (fillerController), cardIdFor ("vfufill", fillerController));
        bool leftOver = false;
        const auto error = filler->create (leftOver);

        if (error.isEmpty())
        {
            UsbGadget::Identity identity;
            identity.vendorId = options.vendorId;
            identity.productId = options.fillerProductId;
            identity.manufacturer = "Vorn";
            identity.product = "Filler";
            identity.serialNumber = lettersAndDigits (fillerController);
            const auto identityError = filler->setIdentity (identity);

            if (identityError.isNotEmpty())
                say ("cannot name the filler device: " + identityError);
        }
        else
        {
            say ("cannot make the filler device: " + error);
            filler.reset();
            return;
        }
    }

    const auto plugging = ! filler->isBound();
    const auto error = plugging ? filler->bind (fillerController) : filler->unbind();

    if (error.isNotEmpty())
    {
        say ("cannot " + juce::String (plugging ? "plug in" : "unplug") + " the filler device: " + error);
        return;
    }

    fillerPlugged = plugging;

    // The next card number is taken (or free again) once the host side has seen it.
    const auto settled = waitUntil ([&]
    {
        const auto cards = hostCards (fillerController, "Filler");
        return plugging ? ! cards.empty() && cards.front().client >= 0 : cards.empty();
    }, options.hostTimeoutMs);

    if (settled)
    {
        const auto cards = hostCards (fillerController, "Filler");
        say (plugging ? "USB device \"Vorn Filler\" plugged in at " + (cards.empty() ? fillerController : cards.front().describe())
                      : "USB device \"Vorn Filler\" unplugged from " + fillerController);
    }
    else if (! stopping)
    {
        say ("the host side did not see the filler device " + juce::String (plugging ? "arrive" : "leave"));
    }
   #endif
}

void UsbGadgetPorts::closeRawMidi()
{
   #if JUCE_LINUX
    const std::lock_guard<std::mutex> lock (ioMutex);

    for (auto* handle : { rawMidiIn, rawMidiOut })
    {
        if (handle == nullptr)
            continue;

        const auto error = snd_rawmidi_close (handle);

        if (error < 0)
            say ("cannot close the gadget's raw MIDI device: " + juce::String::fromUTF8 (snd_strerror (error)));
    }

    rawMidiIn = nullptr;
    rawMidiOut = nullptr;
   #endif
}

bool UsbGadgetPorts::isPluggedIn (PlugId id) const
{
    const std::lock_guard<std::mutex> lock (stateMutex);
    return id != 0 && id == current;
}

void UsbGadgetPorts::sendToUpdater (PlugId id, const juce::MidiMessage& message)
{
   #if ! JUCE_LINUX
    juce::ignoreUnused (id, message);
   #else
    juce::String name;

    {
        const std::lock_guard<std::mutex> lock (stateMutex);

        if (id == 0 || id != current)
            return;

        name = portName;
    }

    const auto size = (size_t) juce::jmax (0, message.getRawDataSize());
    ssize_t written = -ENODEV;

    {
        // The write does not block: it hands the bytes to the kernel or says why not.
        const std::lock_guard<std::mutex> lock (ioMutex);

        if (rawMidiOut != nullptr)
            written = snd_rawmidi_write (rawMidiOut, message.getRawData(), size);
    }

    if (written < 0)
    {
        if (monitor != nullptr)
            monitor->messageRefused (name, message, (int) written);
        else
            say ("cannot write to the gadget's raw MIDI device: " + juce::String::fromUTF8 (snd_strerror ((int) written)));

        return;
    }

    if ((size_t) written < size)
        say ("short write on the gadget's raw MIDI device: " + juce::String ((juce::int64) written) + " of "
             + juce::String ((juce::int64) size) + " bytes went out");

    if (monitor != nullptr)
        monitor->messageSent (name, message);
   #endif
}

UsbHostCard UsbGadgetPorts::getHostSide() const
{
    const std::lock_guard<std::mutex> lock (stateMutex);
    return hostSide;
}

int UsbGadgetPorts::getRequestBytes() const
{
    return gadget.readFunctionAttribute ("buflen");
}

int UsbGadgetPorts::getRequestCount() const
{
    return gadget.readFunctionAttribute ("qlen");
}
