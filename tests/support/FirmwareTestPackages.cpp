#include "support/FirmwareTestPackages.h"

#include "firmware/FirmwareImage.h"

#include <gtest/gtest.h>

#include <cstring>

namespace FirmwareTestPackages
{
    ScratchFolder::ScratchFolder()
        // A name of its own in each process: the tests run as processes side by side.
        : folder (juce::File::getSpecialLocation (juce::File::tempDirectory)
                      .getChildFile ("vfu-firmware-test-" + juce::Uuid().toString()))
    {
        folder.createDirectory();
    }

    ScratchFolder::~ScratchFolder()
    {
        folder.deleteRecursively();
    }

    juce::String quoted (const juce::String& text)
    {
        return "'" + text.replace ("'", "'\\''") + "'";
    }

    juce::String quoted (const juce::File& file)
    {
        return quoted (file.getFullPathName());
    }

    juce::String runShell (const juce::String& commandLine, bool& ok)
    {
        juce::ChildProcess process;
        ok = process.start (juce::StringArray { "sh", "-c", commandLine });

        if (! ok)
            return {};

        const auto output = process.readAllProcessOutput();
        ok = process.waitForProcessToFinish (30000) && process.getExitCode() == 0;
        return output;
    }

    juce::MemoryBlock zipOf (const std::vector<std::pair<juce::String, juce::MemoryBlock>>& entries)
    {
        juce::ZipFile::Builder builder;

        for (auto& entry : entries)
            builder.addEntry (new juce::MemoryInputStream (entry.second.getData(), entry.second.getSize(), false), 0, entry.first,
                              juce::Time (2020, 0, 1, 0, 0, 0, 0, false));

        juce::MemoryOutputStream out;
        EXPECT_TRUE (builder.writeToStream (out, nullptr));
        return out.getMemoryBlock();
    }

    juce::MemoryBlock bytesOf (const juce::String& text)
    {
        return juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8());
    }

    int replaceBytes (juce::MemoryBlock& block, const juce::String& from, const char* to)
    {
        const auto* pattern = from.toRawUTF8();
        const auto length = std::strlen (pattern);
        auto* data = static_cast<char*> (block.getData());
        int replaced = 0;

        for (size_t i = 0; i + length <= block.getSize(); ++i)
        {
            if (std::memcmp (data + i, pattern, length) == 0)
            {
                std::memcpy (data + i, to, length);
                ++replaced;
            }
        }

        return replaced;
    }

    juce::MemoryBlock imageFor (const juce::String& version, int size)
    {
        juce::String error;
        auto image = FirmwareImage::make (6, version, size, false, error);
        EXPECT_TRUE (error.isEmpty()) << error;
        return image;
    }

    juce::File writeImage (const juce::File& folder, const juce::String& entryName, const juce::MemoryBlock& image)
    {
        const auto file = folder.getChildFile (entryName);
        EXPECT_TRUE (file.replaceWithData (image.getData(), image.getSize()));
        return file;
    }

    juce::File makePackageWithTools (const juce::File& packageFile, const juce::String& listName,
                                     const juce::Array<juce::File>& images,
                                     std::function<juce::String (const juce::String&)> transformList)
    {
        const auto work = packageFile.getParentDirectory().getNonexistentChildFile ("package-work", {}, false);
        work.createDirectory();

        juce::String names;

        for (auto& image : images)
        {
            image.copyFileTo (work.getChildFile (image.getFileName()));
            names << " " << quoted (image.getFileName());
        }

        const auto list = work.getChildFile (listName);
        bool ok = true;

        if (! images.isEmpty())
        {
            runShell ("cd " + quoted (work) + " && sha256sum -b" + names + " > " + quoted (list), ok);
            EXPECT_TRUE (ok);
        }
        else
        {
            list.create();
        }

        // The shipped form is one line without a line end; sha256sum ends every line.
        auto text = list.loadFileAsString().trimEnd();

        if (transformList)
            text = transformList (text);

        list.replaceWithText (text);

        packageFile.deleteFile();
        runShell ("cd " + quoted (work) + " && zip -q -0 -X " + quoted (packageFile) + " " + quoted (listName) + names, ok);
        EXPECT_TRUE (ok);
        work.deleteRecursively();
        return packageFile;
    }

    juce::File makeQuorrelPackage (const juce::File& packageFile, const juce::String& version, const juce::MemoryBlock& image)
    {
        const auto base = "quorrel-fw-" + version;
        const auto imageFile = writeImage (packageFile.getParentDirectory(), base + ".syx", image);
        makePackageWithTools (packageFile, base + ".sha", { imageFile });
        imageFile.deleteFile();
        return packageFile;
    }

    juce::File makeExecutableWithPackages (const juce::File& executableFile, const juce::Array<juce::File>& packages)
    {
        EXPECT_TRUE (juce::File ("/bin/true").copyFileTo (executableFile));
        const auto archive = executableFile.getSiblingFile ("appended.zip");
        archive.deleteFile();

        juce::String names;

        for (auto& package : packages)
            names << " " << quoted (package);

        bool ok = true;
        runShell ("zip -q -j -9 -X " + quoted (archive) + names + " && cat " + quoted (archive) + " >> "
                      + quoted (executableFile) + " && zip -q -A " + quoted (executableFile),
                  ok);
        EXPECT_TRUE (ok);
        archive.deleteFile();
        return executableFile;
    }
}
