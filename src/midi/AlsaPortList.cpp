#include "AlsaPortList.h"

#if JUCE_LINUX
 #include <alsa/asoundlib.h>

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
    handle = seq;
    return true;
}

juce::Array<juce::MidiDeviceInfo> AlsaPortList::list (bool inputs)
{
    const std::lock_guard<std::mutex> guard (lock);
    juce::Array<juce::MidiDeviceInfo> devices;

    if (handle == nullptr)
        return devices;

    auto* seq = static_cast<snd_seq_t*> (handle);
    snd_seq_system_info_t* systemInfo = nullptr;
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_system_info_alloca (&systemInfo);
    snd_seq_client_info_alloca (&clientInfo);
    snd_seq_port_info_alloca (&portInfo);

    if (snd_seq_system_info (seq, systemInfo) != 0)
        return devices;

    // The same walk as the framework's: from a zeroed client record (so the system client 0 is
    // passed over), as many clients as the sequencer counts, each one's ports with the
    // capability to be subscribed in the wanted direction.
    const auto wanted = inputs ? SND_SEQ_PORT_CAP_SUBS_READ : SND_SEQ_PORT_CAP_SUBS_WRITE;

    for (auto clients = snd_seq_system_info_get_cur_clients (systemInfo); --clients >= 0;)
    {
        if (snd_seq_query_next_client (seq, clientInfo) != 0)
            continue;

        const auto client = snd_seq_client_info_get_client (clientInfo);
        snd_seq_port_info_set_client (portInfo, client);
        snd_seq_port_info_set_port (portInfo, -1);

        for (auto ports = snd_seq_client_info_get_num_ports (clientInfo); --ports >= 0;)
            if (snd_seq_query_next_port (seq, portInfo) == 0
                && (snd_seq_port_info_get_capability (portInfo) & (unsigned int) wanted) != 0)
                devices.add ({ juce::String (snd_seq_port_info_get_name (portInfo)),
                               juce::String (client) + "-" + juce::String (snd_seq_port_info_get_port (portInfo)) });
    }

    return devices;
}

#else

AlsaPortList::~AlsaPortList() = default;
bool AlsaPortList::open() { return false; }
juce::Array<juce::MidiDeviceInfo> AlsaPortList::list (bool) { return {}; }

#endif
