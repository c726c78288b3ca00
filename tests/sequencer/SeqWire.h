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

// SysEx longer than this reaches readers in several events, as from a hardware port, so
// that every reader's decoder (the framework's holds 16 KiB) takes each piece whole.
constexpr uint32_t sysexPieceSize = 4096;

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

    deliveredEvent = 100, // broker -> input channel: snd_seq_event_t, then its variable data

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

// Port flags and subscription flags, as the kernel's sequencer numbers them.
constexpr unsigned int seqPortGivenPort = 1u << 0;
constexpr unsigned int seqPortTimestamp = 1u << 1;
constexpr unsigned int seqPortTimeReal = 1u << 2;
constexpr unsigned int seqSubsExclusive = 1u << 0;
constexpr unsigned int seqSubsTimestamp = 1u << 1;
constexpr unsigned int seqSubsTimeReal = 1u << 2;
