#include "AlsaPortList.h"
#include "../../base/OutsideText.h"

#include <algorithm>
#include <cstring>

#if JUCE_LINUX
 #include <alsa/asoundlib.h>

namespace
{
    // Kernels before 6.5 announce no port whose name or capabilities change: the lists are read
    // again after this long at the latest.
    constexpr double maxReadingAgeMs = 3000.0;

    // The announcements that change the lists; the others (connections) never reach the client.
    constexpr int listedAnnouncements[] = { SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_CLIENT_EXIT, SND_SEQ_EVENT_CLIENT_CHANGE,
                                            SND_SEQ_EVENT_PORT_START,   SND_SEQ_EVENT_PORT_EXIT,   SND_SEQ_EVENT_PORT_CHANGE };

    // Events read per call at most: a client that floods the announcement port cannot hold the
    // caller here; what is left is read on the next call, and the lists count as changed.
    constexpr int maxEventsPerCall = 256;

    int addressKey (int client, int port)    { return client * 256 + port; }
}

AlsaPortList::~AlsaPortList()
{
    if (handle != nullptr)
        snd_seq_close (static_cast<snd_seq_t*> (handle));
}

bool AlsaPortList::open()
{
    const std::lock_guard<std::mutex> guard (lock);

    if (handle != nullptr)
        return true;

    snd_seq_t* seq = nullptr;

    if (snd_seq_open (&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0 || seq == nullptr)
        return false;

    snd_seq_set_client_name (seq, "Vorn Firmware Updater ports");

    // Without the filter the lists still work; connections then take cells, and an overflow only
    // costs one reading of the lists more.
    for (const auto type : listedAnnouncements)
        snd_seq_set_client_event_filter (seq, type);

    // A port that takes the announcements and nothing else: writable only by its own client's
    // subscription, so it is in nobody's list of outputs.
    const auto port = snd_seq_create_simple_port (seq, "Announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                  SND_SEQ_PORT_TYPE_APPLICATION);
    announced = port >= 0 && snd_seq_connect_from (seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) == 0;
    handle = seq;
    stale = true;
    return true;
}

void AlsaPortList::markAllGone()
{
    allGone = ++serial;
    clientGone.clear();
    portGone.clear();
    stale = true;
}

void AlsaPortList::readAnnouncements()
{
    if (handle == nullptr || ! announced)
        return;

    auto* seq = static_cast<snd_seq_t*> (handle);

    for (int count = 0;; ++count)
    {
        if (count == maxEventsPerCall)
        {
            stale = true;
            return;
        }

        snd_seq_event_t* event = nullptr;
        const auto result = snd_seq_event_input (seq, &event);

        if (result == -EAGAIN)
            return;

        if (result == -ENOSPC)
        {
            // The client's input pool overflowed and the sequencer dropped what was queued: the
            // announcements in it are lost, so anything may have gone. Reading goes on.
            markAllGone();
            continue;
        }

        if (result < 0 || event == nullptr)
        {
            markAllGone();
            return;
        }

        // Only the sequencer's own announcements count; anything else sent here is passed over.
        if (event->source.client != SND_SEQ_CLIENT_SYSTEM || event->source.port != SND_SEQ_PORT_SYSTEM_ANNOUNCE)
            continue;

        const auto client = (int) event->data.addr.client, port = (int) event->data.addr.port;

        switch (event->type)
        {
            case SND_SEQ_EVENT_CLIENT_EXIT:
                clientGone[client] = ++serial;
                stale = true;
                break;

            case SND_SEQ_EVENT_PORT_EXIT:
                portGone[addressKey (client, port)] = ++serial;
                stale = true;
                break;

            case SND_SEQ_EVENT_CLIENT_START:
            case SND_SEQ_EVENT_CLIENT_CHANGE:
            case SND_SEQ_EVENT_PORT_START:
            case SND_SEQ_EVENT_PORT_CHANGE:
                stale = true;
                break;

            default:
                break;
        }
    }
}

void AlsaPortList::readLists()
{
    inputs.clearQuick();
    outputs.clearQuick();
    clientLocations.clear();

    auto* seq = static_cast<snd_seq_t*> (handle);
    snd_seq_system_info_t* systemInfo = nullptr;
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_system_info_alloca (&systemInfo);
    snd_seq_client_info_alloca (&clientInfo);
    snd_seq_port_info_alloca (&portInfo);

    if (snd_seq_system_info (seq, systemInfo) != 0)
    {
        stale = true;
        return;
    }

    // The same walk as the framework's: from a zeroed client record (so the system client 0 is
    // passed over), as many clients as the sequencer counts, each one's ports with the
    // capability to be subscribed in either direction. Both lists come from one walk.
    for (auto clients = snd_seq_system_info_get_cur_clients (systemInfo); --clients >= 0;)
    {
        if (snd_seq_query_next_client (seq, clientInfo) != 0)
            continue;

        const auto client = snd_seq_client_info_get_client (clientInfo);
        snd_seq_port_info_set_client (portInfo, client);

        // A hardware client names its card; the card's long name says where it is plugged in.
        if (const auto card = snd_seq_client_info_get_card (clientInfo); card >= 0 && card < 256
            && snd_seq_client_info_get_type (clientInfo) == SND_SEQ_KERNEL_CLIENT)
        {
            char* longName = nullptr;

            if (snd_card_get_longname (card, &longName) == 0 && longName != nullptr)
            {
                // A device's own strings are in the long name: only valid text is read.
                if (OutsideText::isValidUtf8 (longName, std::strlen (longName)))
                    if (const auto path = usbPathInLongName (juce::String::fromUTF8 (longName)); path.isNotEmpty())
                        clientLocations[client] = path;

                std::free (longName);
            }
        }
        snd_seq_port_info_set_port (portInfo, -1);

        for (auto ports = snd_seq_client_info_get_num_ports (clientInfo); --ports >= 0;)
        {
            if (snd_seq_query_next_port (seq, portInfo) != 0)
                continue;

            const auto capability = snd_seq_port_info_get_capability (portInfo);
            const juce::MidiDeviceInfo device (OutsideText::fromSystemName (snd_seq_port_info_get_name (portInfo)),
                                               juce::String (client) + "-" + juce::String (snd_seq_port_info_get_port (portInfo)));

            if ((capability & SND_SEQ_PORT_CAP_SUBS_READ) != 0)
                inputs.add (device);

            if ((capability & SND_SEQ_PORT_CAP_SUBS_WRITE) != 0)
                outputs.add (device);
        }
    }

    stale = false;
    lastReading = juce::Time::getMillisecondCounterHiRes();
}

juce::Array<juce::MidiDeviceInfo> AlsaPortList::list (bool wantInputs)
{
    const std::lock_guard<std::mutex> guard (lock);

    if (handle == nullptr)
        return {};

    readAnnouncements();

    if (stale || ! announced || juce::Time::getMillisecondCounterHiRes() - lastReading >= maxReadingAgeMs)
    {
        const auto inputsBefore = inputs, outputsBefore = outputs;
        const auto locationsBefore = clientLocations;
        readLists();

        if (inputs != inputsBefore || outputs != outputsBefore || clientLocations != locationsBefore)
            ++listsGeneration;
    }

    return wantInputs ? inputs : outputs;
}

std::uint64_t AlsaPortList::getListsGeneration()
{
    const std::lock_guard<std::mutex> guard (lock);
    return listsGeneration;
}

juce::String AlsaPortList::locationOf (const juce::String& identifier)
{
    const auto separator = identifier.containsChar (':') ? ":" : "-";
    const auto clientText = identifier.upToFirstOccurrenceOf (separator, false, false);

    if (clientText.isEmpty() || clientText.length() > 5 || ! clientText.containsOnly ("0123456789"))
        return {};

    const std::lock_guard<std::mutex> guard (lock);
    const auto found = clientLocations.find (clientText.getIntValue());
    return found != clientLocations.end() ? found->second : juce::String();
}

std::uint64_t AlsaPortList::departureStamp (const juce::String& identifier)
{
    const std::lock_guard<std::mutex> guard (lock);

    if (handle == nullptr || ! announced)
        return ++serial;

    readAnnouncements();

    const auto separator = identifier.containsChar (':') ? ":" : "-";
    const auto client = identifier.upToFirstOccurrenceOf (separator, false, false).getIntValue();
    const auto port = identifier.fromFirstOccurrenceOf (separator, false, false).getIntValue();

    const auto gone = [] (const std::map<int, std::uint64_t>& departures, int key)
    {
        const auto found = departures.find (key);
        return found != departures.end() ? found->second : 0;
    };

    return std::max ({ allGone, gone (clientGone, client), gone (portGone, addressKey (client, port)) });
}

#else

AlsaPortList::~AlsaPortList() = default;
bool AlsaPortList::open() { return false; }
juce::Array<juce::MidiDeviceInfo> AlsaPortList::list (bool) { return {}; }
juce::String AlsaPortList::locationOf (const juce::String&) { return {}; }
std::uint64_t AlsaPortList::departureStamp (const juce::String&)
{
    const std::lock_guard<std::mutex> guard (lock);
    return ++serial;
}

#endif

juce::String AlsaPortList::usbPathInLongName (const juce::String& longName)
{
    // The USB audio driver writes "<vendor> <product> at <path>, <speed> speed", its path
    // "usb-<bus>-<ports>"; the product name may hold " at " too, so the last one counts.
    const auto at = longName.lastIndexOf (" at usb-");

    if (at < 0)
        return {};

    const auto path = longName.substring (at + 4).upToFirstOccurrenceOf (",", false, false).trim();
    return path.length() > 4 && path.length() <= 100 && ! path.containsAnyOf (" \t\r\n") ? path : juce::String();
}
