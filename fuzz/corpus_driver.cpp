// Runs one fuzz target over the files of its corpus, each once, as a regression test that any
// compiler can build: the inputs that once made a target fail must keep passing. A finding
// aborts the program (a trap, or a sanitizer's report in the sanitizer flavour).

#include <juce_core/juce_core.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size);

int main (int argc, char* argv[])
{
    int ran = 0;

    for (int i = 1; i < argc; ++i)
    {
        const juce::File folder (juce::String::fromUTF8 (argv[i]));
        auto files = folder.findChildFiles (juce::File::findFiles, false);
        files.sort();

        if (files.isEmpty())
        {
            std::cerr << "no corpus in " << argv[i] << std::endl;
            return 1;
        }

        for (auto& file : files)
        {
            juce::MemoryBlock bytes;

            if (! file.loadFileAsData (bytes))
            {
                std::cerr << "cannot read " << file.getFullPathName() << std::endl;
                return 1;
            }

            // Named first, so that a crash says which input it was.
            std::cout << file.getFileName() << std::endl;

            // A copy of its own, so that a read past its end shows under AddressSanitizer.
            std::unique_ptr<uint8_t[]> input (new uint8_t[bytes.getSize() + 1]);
            std::memcpy (input.get(), bytes.getData(), bytes.getSize());
            LLVMFuzzerTestOneInput (input.get(), bytes.getSize());
            ++ran;
        }
    }

    std::cout << "ran " << ran << " inputs, no finding" << std::endl;
    return 0;
}
