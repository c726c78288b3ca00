// vfu-update: the firmware updater in a terminal, for scripts, service benches and SSH sessions.

#include "ConsoleUpdater.h"

int main (int argc, char* argv[])
{
    return ConsoleUpdater::runProcess (argc, argv, PackageSignature::builtInPublicKey());
}
