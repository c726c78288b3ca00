#pragma once

// The wire between the test sequencer's client library and its broker: length-prefixed
// frames over a Unix stream socket, and the information records both sides share. Both
// ends are built from this one header on the same machine, so records travel as raw bytes.

#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>

namespace seqwire
{

// The environment variable that names the broker's socket.
constexpr const char* socketVariable = "VFU_TEST_SEQ_SOCKET";

// A program started with this set to a number from firstCardClient up to firstUserClient - 1
// gets that client number each time it opens its sequencer, as a sound card's client (a USB
// instrument's: 16 + 4 x its card number) keeps its number when the device is plugged in
// again, instead of the lowest free one from firstUserClient on, which another program may
// have taken meanwhile.
constexpr const char* clientVariable = "VFU_TEST_SEQ_CLIENT";
constexpr int firstCardClient = 16;

// Bounds on what either side accepts from the other.
constexpr uint32_t maxEventData = 64u * 1024u * 1024u;
constexpr uint32_t maxFrameSize = maxEventData + 1024u;
constexpr uint32_t maxReplySize = 64u * 1024u;

// A variable event's length; the top two bits are flags of the kernel's own.
constexpr unsigned int extLengthBits = 0x3fffffffu;

// A user client's input pool, as the kernel's (6.1, sound/core/seq): events delivered to the
// client wait there, in cells of one event record (28 bytes), until the client reads them. An
// event takes one cell, and a variable event (SysEx) one more per 28 bytes of its data or part
// thereof. An event that needs as many cells as the whole pool can never fit (-ENOMEM, so one
// SysEx of more than 5,572 bytes with the default pool); one that finds too few cells free is
// refused (-EAGAIN). A client may resize its pool up to the kernel's limit.
constexpr int cellBytes = (int) sizeof (snd_seq_event_t);
constexpr int defaultInputPool = 200;  // SNDRV_SEQ_DEFAULT_CLIENT_EVENTS
constexpr int maxInputPool = 2000;     // SNDRV_SEQ_MAX_CLIENT_EVENTS
constexpr int defaultOutputPool = 500; // SNDRV_SEQ_DEFAULT_EVENTS
constexpr int maxOutputPool = 2000;    // SNDRV_SEQ_MAX_EVENTS

/** The cells beyond the first that an event of that many data bytes takes. */
constexpr int extraCellsFor (uint32_t dataBytes)
{
    return (int) ((dataBytes + (uint32_t) cellBytes - 1) / (uint32_t) cellBytes);
}

constexpr int firstUserClient = 128;
constexpr int maxClients = 192;
constexpr int maxPorts = 254;
constexpr int nameLength = 64;

enum Kind : uint32_t
{
    openClient = 1,      // request channel's first frame: pid, streams, number -> client id, token
    attachInput,         // input channel's first frame: client id, token
    closeClient,
    setClientName,
    clientInfo,          // ClientQuery -> _snd_seq_client_info
    systemInfo,
    createPort,          // _snd_seq_port_info -> _snd_seq_port_info
    deletePort,
    portInfo,            // PortQuery -> _snd_seq_port_info
    subscribe,           // _snd_seq_port_subscribe
    unsubscribe,
    getSubscription,
    querySubscribers,    // _snd_seq_query_subscribe -> _snd_seq_query_subscribe
    outputEvent,         // snd_seq_event_t, then its variable data
    setPortInfo,
    getClientPool,       // -> _snd_seq_client_pool
    setClientPool,       // _snd_seq_client_pool -> _snd_seq_client_pool
    eventsRead,          // EventsRead: the reader took them, their cells are free again
    clearInput,          // the reader drops its whole queue (after an overflow, or snd_seq_drop_input):
                         // the broker frees every cell and sends an inputCleared frame
    setClientInfo,       // _snd_seq_client_info: name and event filter

    deliveredEvent = 100, // broker -> input channel: snd_seq_event_t, then its variable data
    poolReset,            // broker -> input channel, no body: the pool was resized or cleared, the
                          // events delivered before it are gone (the kernel frees them unread)
    inputOverflow,        // broker -> input channel, no body: an event for this client was refused
                          // because its pool was full; its next read drops the queue (-ENOSPC)
    inputCleared,         // broker -> input channel, no body: as poolReset, after a clearInput; the
                          // overflow marked before it is cleared too (a resize keeps it, as the kernel)

    replyFlag = 0x8000
};

struct FrameHeader
{
    uint32_t size; // bytes after this header
    uint32_t kind;
};

struct OpenRequest
{
    int32_t pid;
    int32_t streams;
    int32_t client; // the number asked for (clientVariable), or -1 for the lowest free one
};

struct OpenReply
{
    int32_t client;
    uint32_t padding;
    uint64_t token;
};

struct AttachRequest
{
    int32_t client;
    uint32_t padding;
    uint64_t token;
};

struct EventsRead
{
    uint32_t count;
    uint32_t generation; // the number of poolReset frames the reader had seen when it read them
};

struct ClientQuery
{
    int32_t client;
    int32_t next; // nonzero: the first client numbered above `client`
};

struct PortQuery
{
    int32_t client;
    int32_t port;
    int32_t next; // nonzero: the first port of `client` numbered above `port`
};

} // namespace seqwire

// The records behind the library's opaque information types. A zeroed record is valid (an
// allocated one starts zeroed, as the ALSA headers' *_alloca macros make it).

struct _snd_seq_system_info
{
    int queues, clients, ports, channels, curClients, curQueues;
    char reserved[24];
};

struct _snd_seq_client_info
{
    int client;
    int type;
    char name[seqwire::nameLength];
    unsigned int filter;
    unsigned char multicastFilter[8];
    unsigned char eventFilter[32];
    int numPorts;
    int eventLost;
    int card;
    int pid;
    char reserved[56];
};

struct _snd_seq_client_pool
{
    int client;
    int outputPool, inputPool, outputRoom, outputFree, inputFree;
    char reserved[64];
};

struct _snd_seq_port_info
{
    snd_seq_addr_t addr;
    char name[seqwire::nameLength];
    unsigned int capability;
    unsigned int type;
    int midiChannels, midiVoices, synthVoices;
    int readUse, writeUse;
    unsigned int flags;
    int timeQueue;
    char reserved[56];
};

struct _snd_seq_port_subscribe
{
    snd_seq_addr_t sender;
    snd_seq_addr_t dest;
    unsigned int voices;
    unsigned int flags;
    unsigned char queue;
    char reserved[63];
};

struct _snd_seq_query_subscribe
{
    snd_seq_addr_t root;
    int type;
    int index;
    int numSubs;
    snd_seq_addr_t addr;
    unsigned char queue;
    unsigned int flags;
    char reserved[64];
};

// A client's filter: with this bit set, only the event types in its event filter reach it.
constexpr unsigned int seqFilterUseEvent = 1u << 31;

// Port flags and subscription flags, as the kernel's sequencer numbers them.
constexpr unsigned int seqPortGivenPort = 1u << 0;
constexpr unsigned int seqPortTimestamp = 1u << 1;
constexpr unsigned int seqPortTimeReal = 1u << 2;
constexpr unsigned int seqSubsExclusive = 1u << 0;
constexpr unsigned int seqSubsTimestamp = 1u << 1;
constexpr unsigned int seqSubsTimeReal = 1u << 2;
