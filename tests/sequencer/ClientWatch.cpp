// vfu-seq-client-watch: prints the sequencer clients that appear while it runs, as another MIDI
// program sees them through the system's announcements (the kernel's client list, aconnect -l).
// Through libasound alone, so it watches the test sequencer and the kernel alike.
//
//   present N NAME   a client there at the start
//   ready            the watch is on; every client made from now on is printed
//   client N NAME    a client made (or renamed) while it watches, once per name it had (read when
//                    it starts, is renamed or makes a port); one that went before its name could be
//                    read is printed as "client N ?"
//   gone N           a client that ended
//
// Ends when it is killed, or with status 1 when the sequencer refuses it, fails or lost
// announcements. With --mark NAME it only makes a client of that name and keeps it until killed:
// a watch that printed it has printed everything announced before it (a name can only be read
// while its client exists).

#include <alsa/asoundlib.h>

#include <cstdio>
#include <map>
#include <string>

#include <unistd.h>

namespace
{
    std::string nameOf (snd_seq_t* seq, int client)
    {
        snd_seq_client_info_t* info = nullptr;
        snd_seq_client_info_alloca (&info);

        if (snd_seq_get_any_client_info (seq, client, info) < 0)
            return "?";

        return snd_seq_client_info_get_name (info);
    }
}

int main (int argc, char** argv)
{
    snd_seq_t* seq = nullptr;
    const bool mark = argc == 3 && std::string (argv[1]) == "--mark";

    if (argc != 1 && ! mark)
    {
        std::fprintf (stderr, "usage: vfu-seq-client-watch [--mark NAME]\n");
        return 2;
    }

    if (snd_seq_open (&seq, "default", SND_SEQ_OPEN_INPUT, 0) < 0)
    {
        std::fprintf (stderr, "vfu-seq-client-watch: no sequencer\n");
        return 1;
    }

    if (mark)
    {
        // A port too, whose announcement shows the name where a rename is not announced.
        if (snd_seq_set_client_name (seq, argv[2]) < 0 || snd_seq_create_simple_port (seq, "mark", 0, SND_SEQ_PORT_TYPE_APPLICATION) < 0)
            return 1;

        for (;;)
            pause();
    }

    snd_seq_set_client_name (seq, "client watch");
    const auto port = snd_seq_create_simple_port (seq, "announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                  SND_SEQ_PORT_TYPE_APPLICATION);

    if (port < 0 || snd_seq_connect_from (seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
    {
        std::fprintf (stderr, "vfu-seq-client-watch: cannot follow the announcements\n");
        return 1;
    }

    const auto self = snd_seq_client_id (seq);
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca (&info);
    snd_seq_client_info_set_client (info, -1);

    while (snd_seq_query_next_client (seq, info) >= 0)
        if (snd_seq_client_info_get_client (info) != self)
            std::printf ("present %d %s\n", snd_seq_client_info_get_client (info), snd_seq_client_info_get_name (info));

    std::printf ("ready\n");
    std::fflush (stdout);

    // The names printed for each client since it started.
    std::map<int, std::string> printed;

    for (;;)
    {
        snd_seq_event_t* event = nullptr;
        const auto result = snd_seq_event_input (seq, &event);

        if (result == -EINTR)
            continue;

        if (result < 0 || event == nullptr)
        {
            std::fprintf (stderr, "vfu-seq-client-watch: %s\n", result == -ENOSPC ? "announcements were lost" : snd_strerror (result));
            return 1;
        }

        const int client = event->data.addr.client;

        switch (event->type)
        {
            case SND_SEQ_EVENT_CLIENT_START:
                printed[client].clear();
                [[fallthrough]];
            case SND_SEQ_EVENT_CLIENT_CHANGE:
            case SND_SEQ_EVENT_PORT_START: // kernels before 6.5 announce no change of a client's name
            {
                const auto name = nameOf (seq, client);

                if (name != printed[client])
                {
                    std::printf ("client %d %s\n", client, name.c_str());
                    printed[client] = name;
                }

                break;
            }
            case SND_SEQ_EVENT_CLIENT_EXIT:
                std::printf ("gone %d\n", client);
                printed.erase (client);
                break;
            default:
                break;
        }

        std::fflush (stdout);
    }
}
