/* winmm-probe: a small Windows program that uses the MIDI devices as any Windows program does
 * (winmm), for checking the test driver and for holding a port as another program would.
 *
 *   winmm-probe list                      one line per device: "out|in ID NAME PATH"
 *   winmm-probe lists                     the same, then "--", again after each line of its
 *                                         standard input, until it ends
 *   winmm-probe send NAME HEX...          each argument is one buffer (midiOutLongMsg), or with
 *                                         a leading "s:" one short message (midiOutShortMsg)
 *   winmm-probe receive NAME EVENTS BUFFERBYTES BUFFERS
 *                                         prints each MIM_LONGDATA, MIM_DATA and MIM_LONGERROR
 *                                         until EVENTS of them arrived
 *   winmm-probe hold NAME                 opens NAME's output and input, prints "held", and
 *                                         keeps them until its standard input ends
 *
 * Every winmm result that is not MMSYSERR_NOERROR is printed as "NAME=CODE" and ends it with
 * status 1. */

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static int findDevice (const wchar_t* name, BOOL output)
{
    const UINT count = output ? midiOutGetNumDevs() : midiInGetNumDevs();

    for (UINT i = 0; i < count; ++i)
    {
        MIDIOUTCAPSW outCaps;
        MIDIINCAPSW inCaps;
        const MMRESULT r = output ? midiOutGetDevCapsW (i, &outCaps, sizeof (outCaps)) : midiInGetDevCapsW (i, &inCaps, sizeof (inCaps));
        if (r == MMSYSERR_NOERROR && wcscmp (output ? outCaps.szPname : inCaps.szPname, name) == 0)
            return (int) i;
    }

    return -1;
}

static int failed (const char* what, MMRESULT result)
{
    printf ("%s=%u\n", what, result);
    fflush (stdout);
    return 1;
}

static int list (void)
{
    for (int output = 1; output >= 0; --output)
    {
        const UINT count = output ? midiOutGetNumDevs() : midiInGetNumDevs();

        for (UINT i = 0; i < count; ++i)
        {
            MIDIOUTCAPSW outCaps;
            MIDIINCAPSW inCaps;
            const MMRESULT r = output ? midiOutGetDevCapsW (i, &outCaps, sizeof (outCaps)) : midiInGetDevCapsW (i, &inCaps, sizeof (inCaps));
            if (r != MMSYSERR_NOERROR)
                continue;

            ULONG size = 0;
            wchar_t path[512] = L"-";
            const UINT_PTR id = i;
            const MMRESULT q = output ? midiOutMessage ((HMIDIOUT) id, DRV_QUERYDEVICEINTERFACESIZE, (DWORD_PTR) &size, 0)
                                      : midiInMessage ((HMIDIIN) id, DRV_QUERYDEVICEINTERFACESIZE, (DWORD_PTR) &size, 0);
            if (q == MMSYSERR_NOERROR && size <= sizeof (path))
            {
                if (output)
                    midiOutMessage ((HMIDIOUT) id, DRV_QUERYDEVICEINTERFACE, (DWORD_PTR) path, sizeof (path));
                else
                    midiInMessage ((HMIDIIN) id, DRV_QUERYDEVICEINTERFACE, (DWORD_PTR) path, sizeof (path));
            }

            printf ("%s %u %ls %ls\n", output ? "out" : "in", i, output ? outCaps.szPname : inCaps.szPname, path);
        }
    }

    return 0;
}

static int parseHex (const wchar_t* text, BYTE* bytes, int capacity)
{
    int n = 0;

    while (*text != 0 && n < capacity)
    {
        wchar_t* end;
        const unsigned long value = wcstoul (text, &end, 16);
        if (end == text || value > 0xff)
            return -1;
        bytes[n++] = (BYTE) value;
        text = *end == L',' ? end + 1 : end;
    }

    return n;
}

static int sendMessages (const wchar_t* name, int count, wchar_t** messages)
{
    const int id = findDevice (name, TRUE);
    if (id < 0)
        return failed ("find", MMSYSERR_BADDEVICEID);

    HANDLE done = CreateEventW (NULL, FALSE, FALSE, NULL);
    HMIDIOUT out;
    MMRESULT r = midiOutOpen (&out, (UINT) id, (DWORD_PTR) done, 0, CALLBACK_EVENT);
    if (r != MMSYSERR_NOERROR)
        return failed ("midiOutOpen", r);

    WaitForSingleObject (done, INFINITE); /* MOM_OPEN */

    for (int i = 0; i < count; ++i)
    {
        static BYTE bytes[65536];
        const BOOL shortMessage = wcsncmp (messages[i], L"s:", 2) == 0;
        const int n = parseHex (messages[i] + (shortMessage ? 2 : 0), bytes, (int) sizeof (bytes));
        if (n <= 0)
            return failed ("hex", MMSYSERR_INVALPARAM);

        if (shortMessage)
        {
            DWORD packed = 0;
            for (int b = 0; b < n && b < 3; ++b)
                packed |= (DWORD) bytes[b] << (8 * b);
            if ((r = midiOutShortMsg (out, packed)) != MMSYSERR_NOERROR)
                return failed ("midiOutShortMsg", r);
            printf ("short sent\n");
            continue;
        }

        MIDIHDR header;
        memset (&header, 0, sizeof (header));
        header.lpData = (LPSTR) bytes;
        header.dwBufferLength = header.dwBytesRecorded = (DWORD) n;

        /* A buffer must be prepared first. */
        if ((r = midiOutLongMsg (out, &header, sizeof (header))) != MIDIERR_UNPREPARED)
            return failed ("unprepared midiOutLongMsg", r);
        if ((r = midiOutPrepareHeader (out, &header, sizeof (header))) != MMSYSERR_NOERROR)
            return failed ("midiOutPrepareHeader", r);
        if ((r = midiOutLongMsg (out, &header, sizeof (header))) != MMSYSERR_NOERROR)
            return failed ("midiOutLongMsg", r);

        /* Done only later, on the driver's thread: never inside midiOutLongMsg. */
        const BOOL doneInsideCall = (header.dwFlags & MHDR_DONE) != 0;
        while ((header.dwFlags & MHDR_DONE) == 0)
            WaitForSingleObject (done, INFINITE);

        if ((r = midiOutUnprepareHeader (out, &header, sizeof (header))) != MMSYSERR_NOERROR)
            return failed ("midiOutUnprepareHeader", r);

        printf ("buffer of %d bytes done%s\n", n, doneInsideCall ? " inside midiOutLongMsg" : "");
    }

    fflush (stdout);
    if ((r = midiOutClose (out)) != MMSYSERR_NOERROR)
        return failed ("midiOutClose", r);
    return 0;
}

static HANDLE arrived;
static volatile LONG events;

static void CALLBACK inputCallback (HMIDIIN in, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    (void) instance; (void) p2;

    if (message == MIM_LONGDATA)
    {
        MIDIHDR* header = (MIDIHDR*) p1;
        if (header->dwBytesRecorded == 0)
            return; /* handed back by a reset */
        printf ("long");
        for (DWORD i = 0; i < header->dwBytesRecorded; ++i)
            printf (" %02X", (BYTE) header->lpData[i]);
        printf ("\n");
        midiInAddBuffer (in, header, sizeof (*header));
    }
    else if (message == MIM_DATA)
    {
        printf ("data %06lX\n", (unsigned long) p1);
    }
    else if (message == MIM_LONGERROR)
    {
        printf ("longerror\n");
    }
    else
    {
        return;
    }

    fflush (stdout);
    InterlockedIncrement (&events);
    SetEvent (arrived);
}

static int receive (const wchar_t* name, int wanted, int bufferBytes, int bufferCount)
{
    const int id = findDevice (name, FALSE);
    if (id < 0)
        return failed ("find", MMSYSERR_BADDEVICEID);

    arrived = CreateEventW (NULL, FALSE, FALSE, NULL);
    HMIDIIN in;
    MMRESULT r = midiInOpen (&in, (UINT) id, (DWORD_PTR) inputCallback, 0, CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR)
        return failed ("midiInOpen", r);

    MIDIHDR* headers = calloc ((size_t) bufferCount, sizeof (MIDIHDR));
    for (int i = 0; i < bufferCount; ++i)
    {
        headers[i].lpData = malloc ((size_t) bufferBytes);
        headers[i].dwBufferLength = (DWORD) bufferBytes;
        if ((r = midiInPrepareHeader (in, &headers[i], sizeof (MIDIHDR))) != MMSYSERR_NOERROR)
            return failed ("midiInPrepareHeader", r);
        if ((r = midiInAddBuffer (in, &headers[i], sizeof (MIDIHDR))) != MMSYSERR_NOERROR)
            return failed ("midiInAddBuffer", r);
    }

    if ((r = midiInStart (in)) != MMSYSERR_NOERROR)
        return failed ("midiInStart", r);

    printf ("listening\n");
    fflush (stdout);

    while (events < wanted)
        WaitForSingleObject (arrived, INFINITE);

    if ((r = midiInReset (in)) != MMSYSERR_NOERROR)
        return failed ("midiInReset", r);
    for (int i = 0; i < bufferCount; ++i)
        if ((r = midiInUnprepareHeader (in, &headers[i], sizeof (MIDIHDR))) != MMSYSERR_NOERROR)
            return failed ("midiInUnprepareHeader", r);
    if ((r = midiInClose (in)) != MMSYSERR_NOERROR)
        return failed ("midiInClose", r);
    return 0;
}

static int hold (const wchar_t* name)
{
    const int outId = findDevice (name, TRUE), inId = findDevice (name, FALSE);
    if (outId < 0 || inId < 0)
        return failed ("find", MMSYSERR_BADDEVICEID);

    HMIDIOUT out;
    HMIDIIN in;
    MMRESULT r;
    if ((r = midiOutOpen (&out, (UINT) outId, 0, 0, CALLBACK_NULL)) != MMSYSERR_NOERROR)
        return failed ("midiOutOpen", r);
    if ((r = midiInOpen (&in, (UINT) inId, 0, 0, CALLBACK_NULL)) != MMSYSERR_NOERROR)
        return failed ("midiInOpen", r);

    printf ("held\n");
    fflush (stdout);

    char line[64];
    while (fgets (line, sizeof (line), stdin) != NULL)
    {
    }

    midiInClose (in);
    midiOutClose (out);
    return 0;
}

int wmain (int argc, wchar_t** argv)
{
    if (argc >= 2 && wcscmp (argv[1], L"list") == 0)
        return list();
    if (argc >= 2 && wcscmp (argv[1], L"lists") == 0)
    {
        char line[64];
        do
        {
            list();
            printf ("--\n");
            fflush (stdout);
        }
        while (fgets (line, sizeof (line), stdin) != NULL);
        return 0;
    }
    if (argc >= 3 && wcscmp (argv[1], L"send") == 0)
        return sendMessages (argv[2], argc - 3, argv + 3);
    if (argc == 6 && wcscmp (argv[1], L"receive") == 0)
        return receive (argv[2], _wtoi (argv[3]), _wtoi (argv[4]), _wtoi (argv[5]));
    if (argc == 3 && wcscmp (argv[1], L"hold") == 0)
        return hold (argv[2]);

    fprintf (stderr, "usage: winmm-probe list | lists | send NAME HEX... | receive NAME EVENTS BUFFERBYTES BUFFERS | hold NAME\n");
    return 2;
}
