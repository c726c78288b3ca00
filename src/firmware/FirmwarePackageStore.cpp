#include "FirmwarePackageStore.h"
#include "ZipEntryReader.h"
#include "../app/RegularFile.h"
#include "../app/RunningExecutable.h"

#include "../app/AppLog.h"
#include "../midi/VersionNumber.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cstring>

namespace
{
    constexpr int endOfCentralDirectorySize = 22;
    constexpr int maximumZipCommentSize = 65535;

    /** True when the last bytes of the stream hold a zip end-of-central-directory record.
        Without one the framework's reader would take the whole stream for a directory. */
    bool hasEndOfCentralDirectory (juce::InputStream& stream)
    {
        const auto total = stream.getTotalLength();

        if (total < endOfCentralDirectorySize)
            return false;

        const auto tailSize = juce::jmin (total, (juce::int64) (endOfCentralDirectorySize + maximumZipCommentSize));
        juce::HeapBlock<juce::uint8> tail ((size_t) tailSize);

        if (! stream.setPosition (total - tailSize) || stream.read (tail, (int) tailSize) != (int) tailSize)
            return false;

        for (auto i = tailSize - endOfCentralDirectorySize; i >= 0; --i)
            if (tail[i] == 0x50 && tail[i + 1] == 0x4b && tail[i + 2] == 0x05 && tail[i + 3] == 0x06)
                return true;

        return false;
    }

    /** The stream's remaining bytes as a seekable package, or nullptr when it is too large to be one. */
    std::unique_ptr<juce::InputStream> boundedPackageStream (juce::InputStream& stream)
    {
        const auto start = stream.getPosition();
        const auto total = stream.getTotalLength();

        if (total >= 0)
        {
            if (total - start > FirmwarePackageStore::maximumPackageSize)
                return {};

            return std::make_unique<juce::SubregionStream> (&stream, start, total - start, false);
        }

        // Unknown length: take in at most one byte more than a package may have.
        juce::MemoryOutputStream copy;

        if (copy.writeFromInputStream (stream, FirmwarePackageStore::maximumPackageSize + 1)
            > FirmwarePackageStore::maximumPackageSize)
            return {};

        return std::make_unique<juce::MemoryInputStream> (copy.getMemoryBlock(), true);
    }

    /** Names and texts from packages and folders carry their bytes unchecked; the framework's
        string functions can read past the end of a malformed UTF-8 sequence, so such text is refused first. */
    bool isWellFormed (const juce::String& text)
    {
        const auto* raw = text.toRawUTF8();
        return juce::CharPointer_UTF8::isValidString (raw, (int) std::strlen (raw));
    }

    bool isWellFormed (const juce::MemoryBlock& bytes)
    {
        // Text with a UTF-16 byte order mark is decoded character by character, which is safe.
        if (bytes.getSize() >= 2 && (juce::CharPointer_UTF16::isByteOrderMarkBigEndian (bytes.getData())
                                     || juce::CharPointer_UTF16::isByteOrderMarkLittleEndian (bytes.getData())))
            return true;

        return juce::CharPointer_UTF8::isValidString (static_cast<const char*> (bytes.getData()), (int) bytes.getSize());
    }

    /** The extension rule for packages: from the last "." on, when it follows the last "\", in lower case. */
    bool hasPackageExtension (const juce::String& name)
    {
        const auto dot = name.lastIndexOfChar ('.');
        return dot >= 0 && dot > name.lastIndexOfChar ('\\') && name.substring (dot).toLowerCase() == ".vfw";
    }
}

//==============================================================================
/** A verified package: its bytes as they were verified, and where they came from (for the log). */
class FirmwarePackageStore::PackageSource
{
public:
    PackageSource (juce::String whereFrom, juce::MemoryBlock packageBytes)
        : name (std::move (whereFrom)), bytes (std::move (packageBytes)) {}

    const juce::String name;
    const juce::MemoryBlock bytes;
};

//==============================================================================
FirmwarePackageStore::FirmwarePackageStore (juce::String deviceName, const juce::String& packagePublicKey)
    : deviceKey (deviceKeyFor (deviceName)),
      requiredSignature (packagePublicKey.isEmpty() ? nullptr : std::make_unique<const PackageSignature> (packagePublicKey)),
      executableFile (RunningExecutable::getFile())
{
}

FirmwarePackageStore::~FirmwarePackageStore() = default;

void FirmwarePackageStore::setExecutableFile (const juce::File& file)
{
    executableFile = file;
}

juce::String FirmwarePackageStore::deviceKeyFor (const juce::String& deviceName)
{
    if (deviceName == "Halvane XV")  return "halvane";
    if (deviceName == "Dorrick")     return "dorrick";
    if (deviceName == "Quorrel")     return "quorrel";
    if (deviceName == "Vantoline")   return "vanto";
    return {};
}

bool FirmwarePackageStore::isCandidateName (const juce::String& name) const
{
    return isWellFormed (name) && hasPackageExtension (name) && name.contains (deviceKey);
}

void FirmwarePackageStore::findFirmwarePackages (const juce::StringArray& paths)
{
    addEmbeddedPackages();

    for (auto& path : paths)
    {
        if (path.isEmpty())
            continue;

        addPackagesAt (juce::File::isAbsolutePath (path) ? juce::File (path)
                                                         : juce::File::getCurrentWorkingDirectory().getChildFile (path));
    }
}

void FirmwarePackageStore::addEmbeddedPackages()
{
    if (executableFile == juce::File() || ! RegularFile::isRegularFile (executableFile))
        return;

    std::unique_ptr<juce::InputStream> stream (executableFile.createInputStream());

    if (stream == nullptr || ! hasEndOfCentralDirectory (*stream))
        return;

    juce::ZipFile archive (*stream);

    for (int i = 0; i < archive.getNumEntries(); ++i)
    {
        if (! isCandidateName (archive.getEntry (i)->filename))
            continue;

        // Decompressed once into memory, so that the package can be read again from its start.
        juce::MemoryBlock packageBytes;

        if (! ZipEntryReader::readWhole (archive, i, maximumPackageSize, packageBytes))
            continue;

        juce::MemoryInputStream packageStream (packageBytes, false);
        const auto version = verifyPackage (packageStream);

        if (version >= 0)
            store (version, std::make_shared<const PackageSource> (archive.getEntry (i)->filename + " in "
                                                                       + executableFile.getFullPathName(),
                                                                   std::move (packageBytes)));
    }
}

void FirmwarePackageStore::addPackagesAt (const juce::File& path)
{
    if (path.existsAsFile())
    {
        addPackageFile (path);
        return;
    }

    // Every platform's desktop matches "*.vfw" regardless of case, so the extension is compared in lower case here too.
    for (auto& file : path.findChildFiles (juce::File::findFiles, false, "*"))
        if (isCandidateName (file.getFileName()))
            addPackageFile (file);
}

void FirmwarePackageStore::addPackageFile (const juce::File& file)
{
    juce::MemoryBlock packageBytes;

    if (! RegularFile::read (file, maximumPackageSize, packageBytes))
        return;

    juce::MemoryInputStream packageStream (packageBytes, false);
    juce::String reason;
    bool refusedForSignature = false;
    const auto version = verifyPackage (packageStream, reason, requiredSignature.get(), refusedForSignature);

    if (refusedForSignature)
        AppLog::logLine ("Firmware package " + file.getFullPathName() + " refused: " + reason);

    if (version >= 0)
        store (version, std::make_shared<const PackageSource> (file.getFullPathName(), std::move (packageBytes)));
}

void FirmwarePackageStore::store (int version, SourcePointer source)
{
    const juce::ScopedLock sl (lock);
    packages[version] = std::move (source);
}

//==============================================================================
int FirmwarePackageStore::verifyPackage (juce::InputStream& packageStream)
{
    juce::String reason;
    return verifyPackage (packageStream, reason);
}

int FirmwarePackageStore::verifyPackage (juce::InputStream& packageStream, juce::String& reason)
{
    bool refusedForSignature = false;
    return verifyPackage (packageStream, reason, nullptr, refusedForSignature);
}

int FirmwarePackageStore::verifyPackage (juce::InputStream& packageStream, juce::String& reason,
                                         const PackageSignature* signature, bool& refusedForSignature)
{
    refusedForSignature = false;
    auto stream = boundedPackageStream (packageStream);

    if (stream == nullptr)
    {
        reason = "the package is larger than " + juce::String (maximumPackageSize) + " bytes";
        return -1;
    }

    if (! hasEndOfCentralDirectory (*stream))
    {
        reason = "it is not a zip archive";
        return -1;
    }

    juce::ZipFile archive (*stream);

    if (archive.getNumEntries() == 0)
    {
        reason = "the archive has no entries";
        return -1;
    }

    struct Digest
    {
        juce::String entryName, hex;
    };

    std::vector<Digest> digests;
    juce::String checksumList, checksumListName;
    juce::MemoryBlock checksumListBytes;
    int version = -1;

    for (int i = 0; i < archive.getNumEntries(); ++i)
    {
        const auto name = archive.getEntry (i)->filename;

        if (! isWellFormed (name))
        {
            reason = "an entry name is not well-formed UTF-8";
            return -1;
        }

        const bool isImage = name.endsWith (".syx");
        const bool isList = name.endsWith (".sha");

        if (! isImage && ! isList)
            continue;

        juce::MemoryBlock content;

        if (! ZipEntryReader::readWhole (archive, i, maximumEntrySize, content))
        {
            reason = "the entry " + name + " is larger than " + juce::String (maximumEntrySize)
                     + " bytes or cannot be read whole";
            return -1;
        }

        if (isImage)
        {
            digests.push_back ({ name, juce::SHA256 (content).toHexString() });
        }
        else
        {
            if (! isWellFormed (content))
            {
                reason = "the checksum list " + name + " is not well-formed text";
                return -1;
            }

            checksumList = juce::String::createStringFromData (content.getData(), (int) content.getSize());
            checksumListBytes = std::move (content);
            checksumListName = name;
            version = versionFromFileName (name);
        }
    }

    if (checksumListName.isEmpty())
    {
        reason = "there is no .sha checksum list";
        return -1;
    }

    // Only the position counts: the digest stands 66 characters before the name ("<64 hex> *<name>").
    for (auto& digest : digests)
    {
        const auto index = checksumList.indexOf (digest.entryName);

        if (index < 66)
        {
            reason = digest.entryName + " is not in the checksum list, or too close to its start";
            return -1;
        }

        if (checksumList.substring (index - 66, index - 2) != digest.hex)
        {
            reason = "the SHA-256 of " + digest.entryName + " (" + digest.hex + ") does not match the checksum list";
            return -1;
        }
    }

    if (version < 0)
    {
        reason = "no version can be read from the name " + checksumListName;
        return -1;
    }

    // Checked last, so that only an otherwise acceptable package is ever refused for its signature.
    if (signature != nullptr)
    {
        reason = signature->check (archive, checksumListName, checksumListBytes);

        if (reason.isNotEmpty())
        {
            refusedForSignature = true;
            return -1;
        }
    }

    reason.clear();
    return version;
}

int FirmwarePackageStore::versionFromFileName (const juce::String& name)
{
    const auto start = name.lastIndexOfChar ('\\') + 1;
    const auto dot = name.lastIndexOfChar ('.');
    const auto part = name.substring (start, dot >= start ? dot : name.length());

    const auto dash = part.lastIndexOfChar ('-');
    const auto result = part.substring (dash + 1).replace ("fw.", "");

    if (result.length() == part.length())
        return -1;

    return parseVersionNumber (result);
}

//==============================================================================
juce::StringArray FirmwarePackageStore::getFirmwareVersions() const
{
    const juce::ScopedLock sl (lock);
    juce::StringArray versions;

    for (auto& package : packages)
        versions.add (formatVersionNumber (package.first));

    return versions;
}

bool FirmwarePackageStore::selectFirmwareVersion (const juce::String& versionText)
{
    const auto number = parseVersionNumber (versionText);
    const juce::ScopedLock sl (lock);
    const auto found = packages.find (number);

    if (found == packages.end())
        return false;

    selectedPackage = found->second;
    selectedVersion = versionText;
    return true;
}

juce::String FirmwarePackageStore::getSelectedVersion() const
{
    const juce::ScopedLock sl (lock);
    return selectedVersion;
}

bool FirmwarePackageStore::hasSelectedPackage() const
{
    const juce::ScopedLock sl (lock);
    return selectedPackage != nullptr;
}

bool FirmwarePackageStore::readSelectedEntry (const juce::String& entryName, juce::MemoryBlock& destination,
                                              juce::String* reason) const
{
    SourcePointer source;

    {
        const juce::ScopedLock sl (lock);
        source = selectedPackage;
    }

    const auto fail = [reason] (const juce::String& why)
    {
        if (reason != nullptr)
            *reason = why;

        return false;
    };

    if (source == nullptr)
        return fail ("no package is selected");

    // The bytes verified at the search, never the file again: it may have been moved or replaced since.
    juce::MemoryInputStream packageStream (source->bytes, false);
    juce::ZipFile archive (packageStream);
    const auto index = archive.getIndexOfFileName (entryName, false);

    if (index < 0)
        return fail ("the package " + source->name + " has no entry " + entryName);

    if (! ZipEntryReader::readWhole (archive, index, maximumEntrySize, destination))
        return fail ("the entry " + entryName + " of the package " + source->name + " cannot be read whole");

    return true;
}
