// Feeds arbitrary bytes to the definitions loader as a document, decoded as a definitions file
// is (BOM detection, UTF-8 or UTF-16). A definitions error is an expected outcome; a crash,
// a sanitizer report or a hang is a fault.

#include "definitions/DefinitionsDocument.h"
#include "definitions/UpdaterDefinitions.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto text = DefinitionsDocument::decode (data, size);

    for (auto consoleMode : { false, true })
    {
        try
        {
            UpdaterDefinitions definitions (text, "Quorrel", consoleMode);

            // Walk the model the way the engine does, so that a dangling or null entry shows up.
            if (auto* machine = definitions.getMachine())
                for (auto& [name, state] : machine->states)
                    for (auto& [result, target] : state->pollingStates)
                        if (machine->findState (target) == nullptr)
                            __builtin_trap();
        }
        catch (const UpdaterDefinitions::FirmwareUpdaterException&)
        {
        }
    }

    return 0;
}
