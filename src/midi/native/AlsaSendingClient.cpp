#include "AlsaSendingClient.h"

#include <cerrno>

namespace
{
    /** The program's one sending client while anybody holds it. */
    struct SharedSendingClient
    {
        std::mutex mutex; // guards current; never held while a client opens or closes
        std::weak_ptr<AlsaSendingClient> current;
    };

    SharedSendingClient& sharedSendingClient()
    {
        static SharedSendingClient instance;
        return instance;
    }
}

std::shared_ptr<AlsaSendingClient> AlsaSendingClient::shared()
{
    auto& registry = sharedSendingClient();

    {
        const std::lock_guard<std::mutex> guard (registry.mutex);

        if (auto client = registry.current.lock())
            return client;
    }

    // Opened outside the lock: an open is a call to the sequencer that no other thread should
    // have to wait for.
    auto opened = std::make_shared<AlsaSendingClient> (sharedClientName);

    if (! opened->isOpen())
        return opened;

    std::shared_ptr<AlsaSendingClient> earlier;

    {
        const std::lock_guard<std::mutex> guard (registry.mutex);
        earlier = registry.current.lock();

        if (earlier == nullptr)
        {
            registry.current = opened;
            return opened;
        }
    }

    // Another thread opened one meanwhile: that one serves both, and this one closes here.
    return earlier;
}

#if JUCE_LINUX
 #include <alsa/asoundlib.h>

AlsaSendingClient::AlsaSendingClient (const juce::String& clientName)
{
    snd_seq_t* seq = nullptr;

    if (const auto result = snd_seq_open (&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK); result < 0 || seq == nullptr)
    {
        openError = "the sequencer refused a client: " + describe (result < 0 ? result : -ENOMEM);
        return;
    }

    if (const auto result = snd_seq_set_client_name (seq, clientName.toRawUTF8()); result < 0)
    {
        openError = "the sequencer refused the client's name: " + describe (result);
        snd_seq_close (seq);
        return;
    }

    sequencer = seq;
    clientId = snd_seq_client_id (seq);
}

AlsaSendingClient::~AlsaSendingClient()
{
    if (sequencer != nullptr)
        snd_seq_close (static_cast<snd_seq_t*> (sequencer));
}

juce::String AlsaSendingClient::describe (int error)
{
    return juce::String (snd_strerror (error)) + " (" + juce::String (error) + ")";
}

int AlsaSendingClient::createPort (const juce::String& portName, unsigned int capabilities, unsigned int type)
{
    if (! isOpen())
        return -ENODEV;

    const std::lock_guard<std::mutex> guard (mutex);
    return snd_seq_create_simple_port (static_cast<snd_seq_t*> (sequencer), portName.toRawUTF8(), capabilities, type);
}

int AlsaSendingClient::deletePort (int port)
{
    if (! isOpen())
        return -ENODEV;

    const std::lock_guard<std::mutex> guard (mutex);
    return snd_seq_delete_simple_port (static_cast<snd_seq_t*> (sequencer), port);
}

int AlsaSendingClient::connect (int port, int destinationClient, int destinationPort)
{
    if (! isOpen())
        return -ENODEV;

    const std::lock_guard<std::mutex> guard (mutex);
    return snd_seq_connect_to (static_cast<snd_seq_t*> (sequencer), port, destinationClient, destinationPort);
}

bool AlsaSendingClient::isConnected (int port, int destinationClient, int destinationPort)
{
    if (! isOpen() || ! juce::isPositiveAndBelow (port, 256)
        || ! juce::isPositiveAndBelow (destinationClient, 256) || ! juce::isPositiveAndBelow (destinationPort, 256))
        return false;

    snd_seq_port_subscribe_t* subscription = nullptr;
    snd_seq_port_subscribe_alloca (&subscription);
    snd_seq_addr_t sender { (unsigned char) clientId, (unsigned char) port };
    snd_seq_addr_t destination { (unsigned char) destinationClient, (unsigned char) destinationPort };
    snd_seq_port_subscribe_set_sender (subscription, &sender);
    snd_seq_port_subscribe_set_dest (subscription, &destination);

    const std::lock_guard<std::mutex> guard (mutex);
    return snd_seq_get_port_subscription (static_cast<snd_seq_t*> (sequencer), subscription) == 0;
}

int AlsaSendingClient::outputDirect (void* event)
{
    if (! isOpen())
        return -ENODEV;

    // The library copies an event with data into the client's one scratch buffer before writing
    // it, so two threads must not output through one client at once.
    const std::lock_guard<std::mutex> guard (mutex);
    return snd_seq_event_output_direct (static_cast<snd_seq_t*> (sequencer), static_cast<snd_seq_event_t*> (event));
}
#else
AlsaSendingClient::AlsaSendingClient (const juce::String&) : openError ("no ALSA sequencer on this system") {}
AlsaSendingClient::~AlsaSendingClient() = default;
juce::String AlsaSendingClient::describe (int error) { return juce::String (error); }
int AlsaSendingClient::createPort (const juce::String&, unsigned int, unsigned int) { return -ENODEV; }
int AlsaSendingClient::deletePort (int) { return -ENODEV; }
int AlsaSendingClient::connect (int, int, int) { return -ENODEV; }
bool AlsaSendingClient::isConnected (int, int, int) { return false; }
int AlsaSendingClient::outputDirect (void*) { return -ENODEV; }
#endif
