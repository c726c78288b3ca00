#pragma once

#include "SeqWire.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

/** The test sequencer's broker: the part of the kernel's ALSA sequencer that programs see.

    It holds the clients (the "System" client 0, optionally "Midi Through" as client 14, and
    one user client per open handle, numbered from 128), their ports and the subscriptions between
    ports, and delivers events from a sender to the subscribed or addressed ports of other
    processes. It refuses what the kernel refuses: a delivery to a port without write capability
    (-EPERM), an event too large for its receiver's input pool (-ENOMEM) or one that finds that
    pool full (-EAGAIN); cells are freed as the receiver reads. Either refusal also marks the
    receiver overflowed, as the kernel marks its input fifo: the receiver's next read drops its
    whole queue and returns -ENOSPC.

    Like the kernel's System client it announces on System:Announce (0:1): every client and port
    that comes or goes (CLIENT_START/EXIT, PORT_START/EXIT), every connection made or removed
    through a request (PORT_SUBSCRIBED/UNSUBSCRIBED), and, as current kernels do, a client's or
    port's changed information (CLIENT_CHANGE/PORT_CHANGE). The owner of a port that another
    client connects or disconnects is told so at that port, as the kernel tells it. When a
    client's connection ends (its process closed the handle or died), its ports and their
    subscriptions vanish for everyone, as an unplugged instrument's do.

    Single-threaded: run() polls the listening socket and every connection, never blocks on
    one peer, and returns when stop() has been called from a signal handler.
*/
class SeqBroker final
{
public:
    SeqBroker();
    ~SeqBroker();

    /** Adds client 14 "Midi Through" with its port "Midi Through Port-0", which passes on
        whatever it receives to its own subscribers, as the kernel's snd-seq-dummy does.
    */
    void addMidiThrough();

    /** Listens on a Unix socket at path. False (with a message on stderr) if it cannot. */
    bool listenOn (const std::string& path);

    /** Serves clients until stop() is called. */
    void run();

    /** Async-signal-safe. */
    static void stop();

private:
    struct Connection
    {
        int fd = -1;
        int client = -1;
        bool isInput = false;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        size_t outStart = 0;
        bool closing = false;
    };

    struct Port
    {
        _snd_seq_port_info info {};
    };

    struct Client
    {
        int number = 0;
        int type = SND_SEQ_USER_CLIENT;
        std::string name;
        int pid = -1;
        int streams = 0;
        uint64_t token = 0;
        int eventLost = 0;
        int inputPool = seqwire::defaultInputPool;   // cells; see SeqWire.h
        int inputUsed = 0;                           // cells of events delivered and not yet read
        std::deque<int> unreadCells;                 // per event delivered and not yet read, oldest first
        uint32_t poolGeneration = 0;                 // poolReset frames sent to its reader
        bool overflowed = false;                     // refused an event since its queue was last cleared
        unsigned int filter = 0;                     // seqFilterUseEvent: only eventFilter's types reach it
        unsigned char eventFilter[32] {};
        int outputPool = seqwire::defaultOutputPool; // kept and reported; direct events never use it
        int outputRoom = (seqwire::defaultOutputPool + 1) / 2;
        Connection* requests = nullptr;
        Connection* input = nullptr;
        std::map<int, Port> ports;
    };

    struct Subscription
    {
        snd_seq_addr_t sender;
        snd_seq_addr_t dest;
        unsigned int flags;
        unsigned char queue;
    };

    void acceptConnection();
    void readFrom (Connection&);
    void writeTo (Connection&);
    bool handleFrame (Connection&, uint32_t kind, const uint8_t* body, uint32_t size);
    void reply (Connection&, uint32_t kind, int32_t result, const void* record = nullptr, size_t recordSize = 0);
    void dropConnection (Connection&);
    void removeClient (int number);
    void removeSubscriptionsOf (const snd_seq_addr_t&);
    void announce (int type, int client, int port);
    void announceEvent (snd_seq_event_t, const snd_seq_addr_t& to);
    void notifySubscription (int type, const snd_seq_addr_t& to, const Subscription&);
    void unsubscribeEnds (const Subscription&, int requester);

    int openClient (Connection&, const seqwire::OpenRequest&, seqwire::OpenReply&);
    int attachInput (Connection&, const seqwire::AttachRequest&);
    int fillClientInfo (int number, bool next, _snd_seq_client_info&) const;
    int fillPortInfo (int client, int port, bool next, _snd_seq_port_info&) const;
    int createPort (Client&, _snd_seq_port_info&);
    int subscribe (const Client&, const _snd_seq_port_subscribe&);
    int unsubscribe (const Client&, const _snd_seq_port_subscribe&);
    int querySubscribers (_snd_seq_query_subscribe&) const;
    int outputEvent (Client&, const uint8_t* body, uint32_t size);
    int deliverToSubscribers (const snd_seq_event_t&, const uint8_t* data, uint32_t dataSize, int hops);
    int deliver (const snd_seq_event_t&, const uint8_t* data, uint32_t dataSize, const snd_seq_addr_t& dest, int hops);
    void queueDelivery (Client&, const snd_seq_event_t&, const uint8_t* data, uint32_t dataSize);
    void markOverflow (Client&);
    void clearInput (Client&);
    void sendToInput (Client&, uint32_t kind);
    void eventsRead (Client&, const seqwire::EventsRead&);
    int setClientPool (Client&, const _snd_seq_client_pool&);
    void fillClientPool (const Client&, _snd_seq_client_pool&) const;

    Client* findClient (int number);
    const Client* findClient (int number) const;
    Port* findPort (const snd_seq_addr_t&);

    int listenFd = -1;
    std::string socketPath;
    std::vector<std::unique_ptr<Connection>> connections;
    std::map<int, Client> clients;
    std::vector<Subscription> subscriptions;
    uint64_t nextToken;
};
