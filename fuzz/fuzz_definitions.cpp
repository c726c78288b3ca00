// Feeds arbitrary bytes to the definitions loader as the bytes of a definitions file.
// A definitions error is an expected outcome; a crash, a sanitizer report or a hang is a fault,
// and so is a document that the loader accepts although Expat refuses it.

#include "definitions/DefinitionsDocument.h"
#include "definitions/ExpatDocumentCheck.h"
#include "definitions/UpdaterDefinitions.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    const auto root = DefinitionsDocument::parse (data, size);

    // Only documents that Expat vouched for may reach the framework's parser.
    if (root != nullptr && ! ExpatDocumentCheck::accepts (data, size))
        __builtin_trap();

    const juce::MemoryBlock bytes (data, size);

    for (auto consoleMode : { false, true })
    {
        try
        {
            UpdaterDefinitions definitions (bytes, "Quorrel", consoleMode);

            if (! ExpatDocumentCheck::accepts (data, size))
                __builtin_trap();

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
