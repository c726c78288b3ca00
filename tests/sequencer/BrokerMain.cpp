// vfu-test-seq-broker [--midi-through] SOCKET-PATH: serves the test sequencer on a Unix
// socket until SIGTERM or SIGHUP, or until the process that started it ends. Prints "ready"
// on standard output once clients can connect. Ctrl-C in a terminal is for the programs it
// serves, which may still want to close their ports; the script that started the broker
// stops it after them.

#include "SeqBroker.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/prctl.h>
#include <unistd.h>

namespace
{

void onStopSignal (int)
{
    SeqBroker::stop();
}

} // namespace

int main (int argc, char** argv)
{
    bool midiThrough = argc == 3 && std::strcmp (argv[1], "--midi-through") == 0;

    if ((argc != 2 && ! midiThrough) || argv[argc - 1][0] == 0)
    {
        std::fprintf (stderr, "usage: vfu-test-seq-broker [--midi-through] SOCKET-PATH\n");
        return 2;
    }

    // No broker outlives the script that started it, however that script ends.
    auto parent = ::getppid();
    ::prctl (PR_SET_PDEATHSIG, SIGTERM);

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset (&action.sa_mask);
    sigaction (SIGTERM, &action, nullptr);
    sigaction (SIGHUP, &action, nullptr);
    std::signal (SIGINT, SIG_IGN);
    std::signal (SIGPIPE, SIG_IGN);

    if (::getppid() != parent)
        return 1;

    SeqBroker broker;

    if (midiThrough)
        broker.addMidiThrough();

    if (! broker.listenOn (argv[argc - 1]))
        return 1;

    std::printf ("ready\n");
    std::fflush (stdout);
    std::freopen ("/dev/null", "w", stdout);

    broker.run();
    return 0;
}
