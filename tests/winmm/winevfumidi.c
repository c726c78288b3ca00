/* winevfumidi.drv: a Windows MIDI driver for tests, loaded by Wine 8's winmm in place of its
 * ALSA driver. Each configured port is one MIDI output and one MIDI input of one name whose
 * bytes travel raw over one TCP connection to an instrument on 127.0.0.1; as far as a program
 * can tell it behaves as Windows' USB MIDI class driver does:
 *
 * - a port is plugged in while its connection stands; a refused or closed connection unplugs it
 *   (it leaves both lists, the ports after it move down, its open handles fail), and it is
 *   tried again every 250 ms and plugged in again at the end of the lists;
 * - identical names are told apart as Windows does: "NAME", "2- NAME", "3- NAME";
 * - outputs and inputs are exclusive across every program of the Wine prefix
 *   (MMSYSERR_ALLOCATED), through named objects that live as long as their handle;
 * - long buffers go out as given; MHDR_DONE and MOM_DONE come from the port's writer thread
 *   once the bytes have left, never from inside midiOutLongMsg;
 * - SysEx arrives in the program's buffers (MIM_LONGDATA, continued in the next buffer), other
 *   messages as MIM_DATA; a SysEx with no buffer queued is dropped with MIM_LONGERROR.
 *
 * The ports come from the environment: VFU_WINMM_PORTS holds one NAME=HOST:PORT a line.
 * Wine's winmm asks for the number of devices once, when it loads the driver, so that number
 * is the number of configured ports; the device IDs beyond the ports plugged in now answer
 * MMSYSERR_BADDEVICEID, as IDs beyond midiOutGetNumDevs() do on Windows. */

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define MAX_PORTS 16
#define RETRY_MS 250

typedef BOOL (WINAPI *DriverCallbackFn) (DWORD_PTR, DWORD, HDRVR, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR);

typedef struct Client
{
    DWORD_PTR callback, instance;
    HMIDI handle;
    DWORD flags;
} Client;

typedef struct Item
{
    struct Item* next;
    MIDIHDR* header;     /* a long buffer, or NULL for a short message */
    BYTE bytes[3];
    int length;
} Item;

struct Port;

typedef struct Output
{
    struct Port* port;
    unsigned connection;  /* the connection it was opened on; another one means it was unplugged */
    Client client;
    HANDLE claim;
    Item* first;          /* queue, guarded by the driver lock */
    Item* last;
    BOOL closing;
    BOOL writing;         /* the writer is sending an item outside the lock */
    unsigned queued, finished; /* items queued and finished so far */
    BOOL lastFailed;      /* the last item finished did not leave */
    HANDLE thread;
    CONDITION_VARIABLE changed;
} Output;

typedef struct Input
{
    struct Port* port;
    unsigned connection;
    Client client;
    HANDLE claim;
    MIDIHDR* buffers;     /* queued buffers, guarded by the driver lock */
    BOOL started;
    DWORD startTime;
    int delivering;       /* callbacks running outside the lock */
    CONDITION_VARIABLE changed;
    /* the reader's parser state */
    BOOL inSysex;
    BYTE status;
    BYTE data[2];
    int have;
} Input;

typedef struct Port
{
    WCHAR name[MAXPNAMELEN];        /* as listed */
    WCHAR configured[MAXPNAMELEN];  /* as configured */
    char host[64], service[8];
    WCHAR path[160];
    WCHAR claimName[96];
    SOCKET socket;        /* INVALID_SOCKET while unplugged */
    BOOL present;
    BOOL tried;           /* its first connection was tried */
    int number;           /* among the ports plugged in of its name: 1, 2, ... */
    unsigned pluggedAt;   /* order of plugging in: the lists' order */
    unsigned connection;
    int socketUsers;      /* writers sending on the socket outside the lock */
    Output* output;
    Input* input;
} Port;

static CRITICAL_SECTION lock;
static CONDITION_VARIABLE socketFree, portTried;
static Port ports[MAX_PORTS];
static int portCount;
static unsigned plugCounter;
static HANDLE portThreads[MAX_PORTS];
static volatile LONG stopping;
static DriverCallbackFn driverCallback;
static BOOL started;

static void notify (const Client* client, UINT message, DWORD_PTR p1, DWORD_PTR p2)
{
    if (driverCallback != NULL)
        driverCallback (client->callback, HIWORD (client->flags), (HDRVR) client->handle, message, client->instance, p1, p2);
}

/* Under the lock: the port at that device ID (the ports plugged in, in the order they came). */
static Port* portAt (UINT id)
{
    Port* sorted[MAX_PORTS];
    int n = 0;

    for (int i = 0; i < portCount; ++i)
    {
        if (! ports[i].present)
            continue;

        int j = n++;

        while (j > 0 && sorted[j - 1]->pluggedAt > ports[i].pluggedAt)
        {
            sorted[j] = sorted[j - 1];
            --j;
        }

        sorted[j] = &ports[i];
    }

    return id < (UINT) n ? sorted[id] : NULL;
}

/* Under the lock: the port, just plugged in, is named as Windows names a device of a name that
   devices plugged in already have: "2- NAME", "3- NAME", the lowest number none of them has. A
   port keeps its name while it stays. */
static void nameOnPlugging (Port* port)
{
    int number = 1;

    for (BOOL taken = TRUE; taken; )
    {
        taken = FALSE;

        for (int i = 0; i < portCount && ! taken; ++i)
            if (&ports[i] != port && ports[i].present && ports[i].number == number && wcscmp (ports[i].configured, port->configured) == 0)
                taken = TRUE;

        if (taken)
            ++number;
    }

    port->number = number;

    if (number > 1)
        swprintf (port->name, MAXPNAMELEN, L"%d- %ls", number, port->configured);
    else
        wcscpy (port->name, port->configured);
}

/* ---- configuration ---- */

static void addPort (const WCHAR* spec)
{
    const WCHAR* equals = wcsrchr (spec, L'=');
    const WCHAR* colon = equals != NULL ? wcsrchr (equals, L':') : NULL;

    if (portCount >= MAX_PORTS || equals == NULL || colon == NULL || equals == spec)
        return;

    Port* port = &ports[portCount];
    WCHAR name[MAXPNAMELEN];
    const size_t nameLength = (size_t) (equals - spec);
    if (nameLength >= MAXPNAMELEN - 4)
        return;

    wmemcpy (name, spec, nameLength);
    name[nameLength] = 0;

    if (WideCharToMultiByte (CP_UTF8, 0, equals + 1, (int) (colon - equals - 1), port->host, sizeof (port->host) - 1, NULL, NULL) <= 0
        || WideCharToMultiByte (CP_UTF8, 0, colon + 1, -1, port->service, sizeof (port->service), NULL, NULL) <= 0)
        return;

    wcscpy (port->configured, name);
    wcscpy (port->name, name);

    struct in_addr address;
    unsigned tcpPort = (unsigned) atoi (port->service);
    if (inet_pton (AF_INET, port->host, &address) != 1 || tcpPort == 0 || tcpPort > 65535)
        return;

    /* A USB MIDI device's interface path as Windows gives it (vendor, product, interface,
       instance, the MIDI class GUID), naming the socket: the product ID is the TCP port, the
       instance holds the IPv4 address. */
    const unsigned long ip = ntohl (address.s_addr);
    swprintf (port->path, 160, L"\\\\?\\usb#vid_1209&pid_%04x&mi_01#7&%08lx&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
              tcpPort, ip);
    port->socket = INVALID_SOCKET;
    ++portCount;
}

static void readConfiguration (void)
{
    DWORD size = GetEnvironmentVariableW (L"VFU_WINMM_PORTS", NULL, 0);
    if (size == 0)
        return;

    WCHAR* text = malloc (size * sizeof (WCHAR));
    if (text == NULL || GetEnvironmentVariableW (L"VFU_WINMM_PORTS", text, size) == 0)
    {
        free (text);
        return;
    }

    for (WCHAR* line = text; line != NULL && *line != 0;)
    {
        WCHAR* end = wcschr (line, L'\n');
        if (end != NULL)
            *end = 0;
        if (*line != 0)
            addPort (line);
        line = end != NULL ? end + 1 : NULL;
    }

    free (text);

    for (int i = 0; i < portCount; ++i)
    {
        WCHAR address[80];
        swprintf (address, 80, L"%hs:%hs", ports[i].host, ports[i].service);
        swprintf (ports[i].claimName, 96, L"vfu-winmm-%ls", address);
    }
}

/* ---- the connection of each port ---- */

/* Outside the lock: the items' buffers are the program's again (MHDR_DONE, MOM_DONE). */
static void finishItems (Output* output, Item* items)
{
    while (items != NULL)
    {
        Item* next = items->next;
        if (items->header != NULL)
        {
            items->header->dwFlags &= ~(DWORD) MHDR_INQUEUE;
            items->header->dwFlags |= MHDR_DONE;
            notify (&output->client, MOM_DONE, (DWORD_PTR) items->header, 0);
        }
        free (items);
        items = next;
    }
}

static void deliverShort (Input* input, DWORD message)
{
    const Client client = input->client;
    const DWORD time = GetTickCount() - input->startTime;
    ++input->delivering;
    LeaveCriticalSection (&lock);
    notify (&client, MIM_DATA, message, time);
    EnterCriticalSection (&lock);
    --input->delivering;
    WakeAllConditionVariable (&input->changed);
}

/* Under the lock: hands the first buffer back to the program (MIM_LONGDATA) with what it holds. */
static void deliverBuffer (Input* input)
{
    MIDIHDR* header = input->buffers;
    const Client client = input->client;
    const DWORD time = GetTickCount() - input->startTime;
    input->buffers = header->lpNext;
    header->lpNext = NULL;
    header->dwFlags &= ~(DWORD) MHDR_INQUEUE;
    header->dwFlags |= MHDR_DONE;
    ++input->delivering;
    LeaveCriticalSection (&lock);
    notify (&client, MIM_LONGDATA, (DWORD_PTR) header, time);
    EnterCriticalSection (&lock);
    --input->delivering;
    WakeAllConditionVariable (&input->changed);
}

static void sysexLost (Input* input)
{
    const Client client = input->client;
    const DWORD time = GetTickCount() - input->startTime;
    ++input->delivering;
    LeaveCriticalSection (&lock);
    notify (&client, MIM_LONGERROR, 0, time);
    EnterCriticalSection (&lock);
    --input->delivering;
    WakeAllConditionVariable (&input->changed);
}

static int dataBytesOf (BYTE status)
{
    switch (status & 0xf0)
    {
        case 0xc0: case 0xd0: return 1;
        case 0xf0: return status == 0xf1 || status == 0xf3 ? 1 : status == 0xf2 ? 2 : 0;
        default:   return 2;
    }
}

/* Under the lock: one byte from the instrument for this input. A SysEx with no buffer to go to
   is dropped whole (one MIM_LONGERROR). */
static void received (Input* input, BYTE byte, BOOL* sysexDropped)
{
    if (byte >= 0xf8)
    {
        deliverShort (input, byte);
        return;
    }

    if (input->inSysex && byte != 0xf7 && byte >= 0x80)
    {
        /* A status byte ends a SysEx that lacked its F7: what arrived is handed over. */
        input->inSysex = FALSE;
        if (input->buffers != NULL && input->buffers->dwBytesRecorded > 0)
            deliverBuffer (input);
    }

    if (byte == 0xf0 || (input->inSysex && byte < 0x80) || (input->inSysex && byte == 0xf7))
    {
        if (byte == 0xf0)
        {
            input->inSysex = TRUE;
            input->status = 0;
            *sysexDropped = FALSE;
        }

        if (*sysexDropped)
        {
            if (byte == 0xf7)
                input->inSysex = FALSE;
            return;
        }

        if (input->buffers == NULL)
        {
            *sysexDropped = TRUE;
            if (byte == 0xf7)
                input->inSysex = FALSE;
            sysexLost (input);
            return;
        }

        MIDIHDR* header = input->buffers;
        header->lpData[header->dwBytesRecorded++] = (char) byte;

        if (byte == 0xf7)
        {
            input->inSysex = FALSE;
            deliverBuffer (input);
        }
        else if (header->dwBytesRecorded >= header->dwBufferLength)
        {
            deliverBuffer (input);
        }
        return;
    }

    if (byte >= 0x80)
    {
        input->status = byte >= 0xf0 ? 0 : byte; /* system common messages cancel running status */
        input->have = 0;
        if (dataBytesOf (byte) == 0)
            deliverShort (input, byte);
        else if (byte >= 0xf0)
            input->status = byte;
        return;
    }

    if (input->status == 0)
        return;

    input->data[input->have++] = byte;

    if (input->have == dataBytesOf (input->status))
    {
        const DWORD message = input->status | ((DWORD) input->data[0] << 8) | (input->have > 1 ? (DWORD) input->data[1] << 16 : 0);
        input->have = 0;
        if (input->status >= 0xf0)
            input->status = 0;
        deliverShort (input, message);
    }
}

static void unplug (Port* port)
{
    port->present = FALSE;
    shutdown (port->socket, SD_BOTH);

    while (port->socketUsers > 0)
        SleepConditionVariableCS (&socketFree, &lock, INFINITE);

    closesocket (port->socket);
    port->socket = INVALID_SOCKET;

    if (port->output != NULL)
        WakeAllConditionVariable (&port->output->changed);
}

static SOCKET connectTo (const Port* port)
{
    struct addrinfo hints, *found = NULL;
    memset (&hints, 0, sizeof (hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;

    if (getaddrinfo (port->host, port->service, &hints, &found) != 0)
        return INVALID_SOCKET;

    SOCKET s = socket (found->ai_family, found->ai_socktype, found->ai_protocol);

    if (s != INVALID_SOCKET && connect (s, found->ai_addr, (int) found->ai_addrlen) != 0)
    {
        closesocket (s);
        s = INVALID_SOCKET;
    }

    freeaddrinfo (found);

    if (s != INVALID_SOCKET)
    {
        const BOOL noDelay = TRUE;
        if (setsockopt (s, IPPROTO_TCP, TCP_NODELAY, (const char*) &noDelay, sizeof (noDelay)) != 0)
        {
            closesocket (s);
            s = INVALID_SOCKET;
        }
    }

    return s;
}

static DWORD WINAPI portThread (void* parameter)
{
    Port* port = parameter;

    while (! stopping)
    {
        SOCKET s = connectTo (port);

        if (s == INVALID_SOCKET)
        {
            EnterCriticalSection (&lock);
            port->tried = TRUE;
            WakeAllConditionVariable (&portTried);
            LeaveCriticalSection (&lock);
            Sleep (RETRY_MS); /* the retry period, not a poll of anything */
            continue;
        }

        EnterCriticalSection (&lock);
        port->socket = s;
        nameOnPlugging (port);
        port->present = TRUE;
        port->tried = TRUE;
        WakeAllConditionVariable (&portTried);
        port->pluggedAt = ++plugCounter;
        ++port->connection;
        LeaveCriticalSection (&lock);

        BOOL sysexDropped = FALSE;

        for (;;)
        {
            BYTE buffer[512];
            const int got = recv (s, (char*) buffer, sizeof (buffer), 0);

            if (got <= 0)
                break;

            EnterCriticalSection (&lock);
            Input* input = port->input;

            if (input != NULL && input->connection == port->connection && input->started)
                for (int i = 0; i < got && port->input == input && input->started; ++i)
                    received (input, buffer[i], &sysexDropped);

            LeaveCriticalSection (&lock);
        }

        EnterCriticalSection (&lock);
        unplug (port);
        LeaveCriticalSection (&lock);
    }

    return 0;
}

/* ---- outputs ---- */

static DWORD WINAPI writerThread (void* parameter)
{
    Output* output = parameter;
    Port* port = output->port;

    EnterCriticalSection (&lock);

    for (;;)
    {
        while (output->first == NULL && ! output->closing)
            SleepConditionVariableCS (&output->changed, &lock, INFINITE);

        if (output->closing)
            break;

        Item* item = output->first;
        BOOL sent = FALSE;

        if (port->present && port->connection == output->connection)
        {
            const SOCKET s = port->socket;
            ++port->socketUsers;
            output->writing = TRUE;
            LeaveCriticalSection (&lock);

            const char* data = item->header != NULL ? item->header->lpData : (const char*) item->bytes;
            int left = item->header != NULL ? (int) item->header->dwBufferLength : item->length;
            sent = TRUE;

            while (left > 0)
            {
                const int n = send (s, data, left, 0);
                if (n <= 0)
                {
                    sent = FALSE;
                    break;
                }
                data += n;
                left -= n;
            }

            EnterCriticalSection (&lock);
            output->writing = FALSE;
            --port->socketUsers;
            WakeAllConditionVariable (&socketFree);
            WakeAllConditionVariable (&output->changed);
        }

        /* Sent or not (the port was unplugged meanwhile), the buffer is the program's again. */
        if (output->first == item)
        {
            ++output->finished;
            output->lastFailed = ! sent;
            output->first = item->next;
            if (output->first == NULL)
                output->last = NULL;
            item->next = NULL;
            LeaveCriticalSection (&lock);
            finishItems (output, item);
            EnterCriticalSection (&lock);
            WakeAllConditionVariable (&output->changed);
        }
    }

    LeaveCriticalSection (&lock);
    return 0;
}

static BOOL claim (const WCHAR* kind, const Port* port, HANDLE* handle)
{
    WCHAR name[128];
    swprintf (name, 128, L"%ls-%ls", port->claimName, kind);
    *handle = CreateMutexW (NULL, FALSE, name);

    if (*handle != NULL && GetLastError() == ERROR_ALREADY_EXISTS)
    {
        CloseHandle (*handle);
        *handle = NULL;
    }

    return *handle != NULL;
}

static void fillOutCaps (const Port* port, MIDIOUTCAPSW* caps)
{
    memset (caps, 0, sizeof (*caps));
    caps->wMid = 0xff;
    caps->wPid = 0x1;
    caps->vDriverVersion = 0x100;
    wcscpy (caps->szPname, port->name);
    caps->wTechnology = MOD_MIDIPORT;
    caps->wChannelMask = 0xffff;
}

static DWORD openOutput (UINT id, DWORD_PTR* user, const MIDIOPENDESC* desc, DWORD flags)
{
    EnterCriticalSection (&lock);
    Port* port = portAt (id);
    DWORD result = MMSYSERR_NOERROR;
    Output* output = NULL;

    if (port == NULL)
        result = MMSYSERR_BADDEVICEID;
    else if (port->output != NULL)
        result = MMSYSERR_ALLOCATED;
    else if ((output = calloc (1, sizeof (*output))) == NULL)
        result = MMSYSERR_NOMEM;
    else if (! claim (L"out", port, &output->claim))
        result = MMSYSERR_ALLOCATED;

    if (result == MMSYSERR_NOERROR)
    {
        output->port = port;
        output->connection = port->connection;
        output->client.callback = desc->dwCallback;
        output->client.instance = desc->dwInstance;
        output->client.handle = desc->hMidi;
        output->client.flags = flags;
        InitializeConditionVariable (&output->changed);
        output->thread = CreateThread (NULL, 0, writerThread, output, 0, NULL);

        if (output->thread == NULL)
        {
            CloseHandle (output->claim);
            result = MMSYSERR_NOMEM;
        }
        else
        {
            port->output = output;
            *user = (DWORD_PTR) output;
        }
    }

    if (result != MMSYSERR_NOERROR)
        free (output);

    LeaveCriticalSection (&lock);

    if (result == MMSYSERR_NOERROR)
        notify (&output->client, MOM_OPEN, 0, 0);

    return result;
}

static DWORD closeOutput (Output* output)
{
    EnterCriticalSection (&lock);

    if (output->first != NULL)
    {
        LeaveCriticalSection (&lock);
        return MIDIERR_STILLPLAYING;
    }

    output->closing = TRUE;
    output->port->output = NULL;
    WakeAllConditionVariable (&output->changed);
    LeaveCriticalSection (&lock);

    if (GetCurrentThreadId() != GetThreadId (output->thread))
        WaitForSingleObject (output->thread, INFINITE);

    CloseHandle (output->thread);
    CloseHandle (output->claim);
    const Client client = output->client;
    free (output);
    notify (&client, MOM_CLOSE, 0, 0);
    return MMSYSERR_NOERROR;
}

static DWORD queueOutput (Output* output, MIDIHDR* header, const BYTE* bytes, int length)
{
    EnterCriticalSection (&lock);
    const Port* port = output->port;

    if (! port->present || port->connection != output->connection)
    {
        LeaveCriticalSection (&lock);
        return MIDIERR_NODEVICE;
    }

    Item* item = calloc (1, sizeof (*item));
    if (item == NULL)
    {
        LeaveCriticalSection (&lock);
        return MMSYSERR_NOMEM;
    }

    item->header = header;
    if (bytes != NULL)
        memcpy (item->bytes, bytes, (size_t) length);
    item->length = length;

    if (header != NULL)
    {
        header->dwFlags &= ~(DWORD) MHDR_DONE;
        header->dwFlags |= MHDR_INQUEUE;
    }

    if (output->last != NULL)
        output->last->next = item;
    else
        output->first = item;
    output->last = item;
    const unsigned number = ++output->queued;
    WakeAllConditionVariable (&output->changed);

    /* A short message is sent before the call returns, in its place among the buffers. */
    DWORD result = MMSYSERR_NOERROR;

    if (header == NULL)
    {
        while (output->finished - number > 0x80000000u && output->first != NULL)
            SleepConditionVariableCS (&output->changed, &lock, INFINITE);

        if (output->lastFailed && output->finished == number)
            result = MIDIERR_NODEVICE;
    }

    LeaveCriticalSection (&lock);
    return result;
}

static DWORD resetOutput (Output* output)
{
    EnterCriticalSection (&lock);

    /* What is being sent now finishes; the rest comes back unsent. */
    Item* waiting = NULL;
    if (output->first != NULL)
    {
        waiting = output->writing ? output->first->next : output->first;
        if (output->writing)
        {
            output->first->next = NULL;
            output->last = output->first;
        }
        else
        {
            output->first = output->last = NULL;
        }
    }

    while (output->first != NULL)
        SleepConditionVariableCS (&output->changed, &lock, INFINITE);

    LeaveCriticalSection (&lock);
    finishItems (output, waiting);
    return MMSYSERR_NOERROR;
}

DWORD WINAPI modMessage (UINT id, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2)
{
    Output* output = (Output*) user;

    switch (message)
    {
        case DRVM_INIT:
        case DRVM_EXIT:
        case DRVM_ENABLE:
        case DRVM_DISABLE:
            return MMSYSERR_NOERROR;

        case MODM_GETNUMDEVS:
            return (DWORD) portCount;

        case MODM_GETDEVCAPS:
        {
            EnterCriticalSection (&lock);
            Port* port = portAt (id);
            MIDIOUTCAPSW caps;
            if (port != NULL)
                fillOutCaps (port, &caps);
            LeaveCriticalSection (&lock);

            if (port == NULL)
                return MMSYSERR_BADDEVICEID;

            memcpy ((void*) p1, &caps, p2 < sizeof (caps) ? p2 : sizeof (caps));
            return MMSYSERR_NOERROR;
        }

        case DRV_QUERYDEVICEINTERFACESIZE:
        case DRV_QUERYDEVICEINTERFACE:
        {
            EnterCriticalSection (&lock);
            Port* port = portAt (id);
            WCHAR path[160];
            if (port != NULL)
                wcscpy (path, port->path);
            LeaveCriticalSection (&lock);

            if (port == NULL)
                return MMSYSERR_BADDEVICEID;

            const ULONG bytes = (ULONG) ((wcslen (path) + 1) * sizeof (WCHAR));

            if (message == DRV_QUERYDEVICEINTERFACESIZE)
            {
                *(ULONG*) p1 = bytes;
                return MMSYSERR_NOERROR;
            }

            if (p2 < bytes)
                return MMSYSERR_INVALPARAM;

            memcpy ((void*) p1, path, bytes);
            return MMSYSERR_NOERROR;
        }

        case MODM_OPEN:
            return openOutput (id, (DWORD_PTR*) user, (const MIDIOPENDESC*) p1, (DWORD) p2);

        case MODM_CLOSE:
            return closeOutput (output);

        case MODM_PREPARE:
        {
            MIDIHDR* header = (MIDIHDR*) p1;
            if (header == NULL || p2 < sizeof (MIDIHDR))
                return MMSYSERR_INVALPARAM;
            header->dwFlags |= MHDR_PREPARED;
            header->dwFlags &= ~(DWORD) MHDR_DONE;
            return MMSYSERR_NOERROR;
        }

        case MODM_UNPREPARE:
        {
            MIDIHDR* header = (MIDIHDR*) p1;
            if (header == NULL || p2 < sizeof (MIDIHDR))
                return MMSYSERR_INVALPARAM;
            EnterCriticalSection (&lock);
            const BOOL queued = (header->dwFlags & MHDR_INQUEUE) != 0;
            if (! queued)
                header->dwFlags &= ~(DWORD) MHDR_PREPARED;
            LeaveCriticalSection (&lock);
            return queued ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
        }

        case MODM_DATA:
        {
            const BYTE bytes[3] = { (BYTE) p1, (BYTE) (p1 >> 8), (BYTE) (p1 >> 16) };
            const int length = bytes[0] < 0x80 ? 0 : 1 + dataBytesOf (bytes[0]);
            if (length == 0)
                return MMSYSERR_INVALPARAM;
            return queueOutput (output, NULL, bytes, length);
        }

        case MODM_LONGDATA:
        {
            MIDIHDR* header = (MIDIHDR*) p1;
            if (header == NULL || p2 < sizeof (MIDIHDR) || header->lpData == NULL)
                return MMSYSERR_INVALPARAM;
            if ((header->dwFlags & MHDR_PREPARED) == 0)
                return MIDIERR_UNPREPARED;
            if ((header->dwFlags & MHDR_INQUEUE) != 0)
                return MIDIERR_STILLPLAYING;
            return queueOutput (output, header, NULL, 0);
        }

        case MODM_RESET:
            return resetOutput (output);

        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

/* ---- inputs ---- */

static DWORD openInput (UINT id, DWORD_PTR* user, const MIDIOPENDESC* desc, DWORD flags)
{
    EnterCriticalSection (&lock);
    Port* port = portAt (id);
    DWORD result = MMSYSERR_NOERROR;
    Input* input = NULL;

    if (port == NULL)
        result = MMSYSERR_BADDEVICEID;
    else if (port->input != NULL)
        result = MMSYSERR_ALLOCATED;
    else if ((input = calloc (1, sizeof (*input))) == NULL)
        result = MMSYSERR_NOMEM;
    else if (! claim (L"in", port, &input->claim))
        result = MMSYSERR_ALLOCATED;

    if (result == MMSYSERR_NOERROR)
    {
        input->port = port;
        input->connection = port->connection;
        input->client.callback = desc->dwCallback;
        input->client.instance = desc->dwInstance;
        input->client.handle = desc->hMidi;
        input->client.flags = flags;
        InitializeConditionVariable (&input->changed);
        port->input = input;
        *user = (DWORD_PTR) input;
    }
    else
    {
        free (input);
    }

    LeaveCriticalSection (&lock);

    if (result == MMSYSERR_NOERROR)
        notify (&input->client, MIM_OPEN, 0, 0);

    return result;
}

/* Hands every queued buffer back (MIM_LONGDATA, done), after callbacks already under way. */
static void returnBuffers (Input* input)
{
    EnterCriticalSection (&lock);
    input->started = FALSE;
    input->inSysex = FALSE;

    while (input->delivering > 0)
        SleepConditionVariableCS (&input->changed, &lock, INFINITE);

    while (input->buffers != NULL)
        deliverBuffer (input);

    LeaveCriticalSection (&lock);
}

static DWORD closeInput (Input* input)
{
    EnterCriticalSection (&lock);

    if (input->buffers != NULL)
    {
        LeaveCriticalSection (&lock);
        return MIDIERR_STILLPLAYING;
    }

    input->port->input = NULL;
    input->started = FALSE;

    while (input->delivering > 0)
        SleepConditionVariableCS (&input->changed, &lock, INFINITE);

    LeaveCriticalSection (&lock);
    CloseHandle (input->claim);
    const Client client = input->client;
    free (input);
    notify (&client, MIM_CLOSE, 0, 0);
    return MMSYSERR_NOERROR;
}

DWORD WINAPI midMessage (UINT id, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2)
{
    Input* input = (Input*) user;

    switch (message)
    {
        case DRVM_INIT:
        case DRVM_EXIT:
        case DRVM_ENABLE:
        case DRVM_DISABLE:
            return MMSYSERR_NOERROR;

        case MIDM_GETNUMDEVS:
            return (DWORD) portCount;

        case MIDM_GETDEVCAPS:
        {
            EnterCriticalSection (&lock);
            Port* port = portAt (id);
            MIDIINCAPSW caps;
            memset (&caps, 0, sizeof (caps));
            if (port != NULL)
            {
                caps.wMid = 0xff;
                caps.wPid = 0x1;
                caps.vDriverVersion = 0x100;
                wcscpy (caps.szPname, port->name);
            }
            LeaveCriticalSection (&lock);

            if (port == NULL)
                return MMSYSERR_BADDEVICEID;

            memcpy ((void*) p1, &caps, p2 < sizeof (caps) ? p2 : sizeof (caps));
            return MMSYSERR_NOERROR;
        }

        case DRV_QUERYDEVICEINTERFACESIZE:
        case DRV_QUERYDEVICEINTERFACE:
            return modMessage (id, message, user, p1, p2);

        case MIDM_OPEN:
            return openInput (id, (DWORD_PTR*) user, (const MIDIOPENDESC*) p1, (DWORD) p2);

        case MIDM_CLOSE:
            return closeInput (input);

        case MIDM_PREPARE:
        case MIDM_UNPREPARE:
            return modMessage (id, message == MIDM_PREPARE ? MODM_PREPARE : MODM_UNPREPARE, user, p1, p2);

        case MIDM_ADDBUFFER:
        {
            MIDIHDR* header = (MIDIHDR*) p1;
            if (header == NULL || p2 < sizeof (MIDIHDR) || header->lpData == NULL || header->dwBufferLength == 0)
                return MMSYSERR_INVALPARAM;
            if ((header->dwFlags & MHDR_PREPARED) == 0)
                return MIDIERR_UNPREPARED;
            if ((header->dwFlags & MHDR_INQUEUE) != 0)
                return MIDIERR_STILLPLAYING;

            EnterCriticalSection (&lock);
            header->dwFlags &= ~(DWORD) MHDR_DONE;
            header->dwFlags |= MHDR_INQUEUE;
            header->dwBytesRecorded = 0;
            header->lpNext = NULL;
            MIDIHDR** end = &input->buffers;
            while (*end != NULL)
                end = &(*end)->lpNext;
            *end = header;
            LeaveCriticalSection (&lock);
            return MMSYSERR_NOERROR;
        }

        case MIDM_START:
            EnterCriticalSection (&lock);
            if (! input->started)
            {
                input->started = TRUE;
                input->startTime = GetTickCount();
            }
            LeaveCriticalSection (&lock);
            return MMSYSERR_NOERROR;

        case MIDM_STOP:
            EnterCriticalSection (&lock);
            input->started = FALSE;
            LeaveCriticalSection (&lock);
            return MMSYSERR_NOERROR;

        case MIDM_RESET:
            returnBuffers (input);
            return MMSYSERR_NOERROR;

        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

/* ---- loading ---- */

static BOOL start (void)
{
    if (started)
        return TRUE;

    WSADATA data;
    if (WSAStartup (MAKEWORD (2, 2), &data) != 0)
        return FALSE;

    HMODULE winmm = GetModuleHandleW (L"winmm.dll");
    driverCallback = winmm != NULL ? (DriverCallbackFn) (void (*) (void)) GetProcAddress (winmm, "DriverCallback") : NULL;
    if (driverCallback == NULL)
        return FALSE;

    InitializeCriticalSection (&lock);
    InitializeConditionVariable (&socketFree);
    InitializeConditionVariable (&portTried);
    readConfiguration();

    for (int i = 0; i < portCount; ++i)
        if ((portThreads[i] = CreateThread (NULL, 0, portThread, &ports[i], 0, NULL)) == NULL)
            return FALSE;

    /* The first list a program reads finds the ports that are there: each port has had its
       first try by then. */
    EnterCriticalSection (&lock);
    for (int i = 0; i < portCount; ++i)
        while (! ports[i].tried)
            SleepConditionVariableCS (&portTried, &lock, INFINITE);

    /* The ports there from the start are listed in the order they were given, as devices
       present at boot are enumerated in the order of their sockets; later ones at the end. */
    for (int i = 0; i < portCount; ++i)
    {
        ports[i].pluggedAt = (unsigned) i + 1;
        ports[i].present = FALSE;
    }

    for (int i = 0; i < portCount; ++i)
    {
        if (ports[i].socket != INVALID_SOCKET)
        {
            nameOnPlugging (&ports[i]);
            ports[i].present = TRUE;
        }
    }

    plugCounter = (unsigned) portCount;
    LeaveCriticalSection (&lock);

    started = TRUE;
    return TRUE;
}

LRESULT WINAPI DriverProc (DWORD_PTR id, HDRVR driver, UINT message, LPARAM p1, LPARAM p2)
{
    (void) id; (void) driver; (void) p1; (void) p2;

    switch (message)
    {
        case DRV_LOAD:
            return start() ? 1 : 0;
        case DRV_FREE:
        case DRV_OPEN:
        case DRV_CLOSE:
        case DRV_ENABLE:
        case DRV_DISABLE:
            return 1;
        case DRV_QUERYCONFIGURE:
        case DRV_CONFIGURE:
        case DRV_INSTALL:
        case DRV_REMOVE:
            return 0;
        default:
            return 0;
    }
}

/* mmdevapi chooses the driver with the highest priority: this one, whose audio is winealsa's. */
int WINAPI GetPriority (void)
{
    return 3; /* Priority_Preferred */
}

BOOL WINAPI DllMain (HINSTANCE instance, DWORD reason, void* reserved)
{
    (void) instance; (void) reserved;
    if (reason == DLL_PROCESS_DETACH)
        stopping = 1;
    return TRUE;
}
