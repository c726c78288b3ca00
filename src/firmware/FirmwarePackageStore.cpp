#include "FirmwarePackageStore.h"
#include "PackageVerifier.h"
#include "ZipEntryReader.h"
#include "../base/RegularFile.h"
#include "../base/RunningExecutable.h"

#include "../base/AppLog.h"
#include "../base/VersionNumber.h"

namespace
{
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
    return PackageVerifier::isWellFormed (name) && hasPackageExtension (name) && name.contains (deviceKey);
}

void FirmwarePackageStore::setRequiredImages (const juce::StringArray& firmwareMessageKinds)
{
    requiredKinds = firmwareMessageKinds;
}

void FirmwarePackageStore::setSearchByteLimit (juce::int64 limit)
{
    searchByteLimit = limit;
}

void FirmwarePackageStore::findFirmwarePackages (const juce::StringArray& paths)
{
    searchBytesLeft = searchByteLimit;
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

    if (stream == nullptr || ! PackageVerifier::hasEndOfCentralDirectory (*stream))
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

        // Part of the program: taken without the maker's signature, but it must hold its images.
        considerPackage (archive.getEntry (i)->filename + " in " + executableFile.getFullPathName(),
                         std::move (packageBytes), false);
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

    // Only files named like a package come here, so one that cannot be read is logged as every
    // other refused package is.
    if (! RegularFile::read (file, maximumPackageSize, packageBytes))
    {
        refuse (file.getFullPathName(), "it cannot be read (not a regular file, unreadable, or larger than "
                                            + juce::String (maximumPackageSize) + " bytes)");
        return;
    }

    considerPackage (file.getFullPathName(), std::move (packageBytes), true);
}

void FirmwarePackageStore::considerPackage (const juce::String& whereFrom, juce::MemoryBlock packageBytes, bool needsSignature)
{
    PackageVerifier verifier;
    verifier.requireImagesFor (requiredKinds);
    verifier.requireSignature (needsSignature ? requiredSignature.get() : nullptr);

    // Each search decompresses a bounded total, however many packages lie on the desktop.
    const auto limit = juce::jmin (maximumPackageSize, searchBytesLeft);
    verifier.setByteLimit (limit);

    juce::MemoryInputStream packageStream (packageBytes, false);
    const auto verdict = verifier.verify (packageStream);
    searchBytesLeft -= verdict.bytesRead;

    if (verdict.version < 0)
    {
        auto reason = verdict.reason;

        if (limit < maximumPackageSize && reason.startsWith ("verifying it would decompress"))
            reason << " (what remains of the " << searchByteLimit << " bytes one search may decompress)";

        refuse (whereFrom, reason);
        return;
    }

    store (verdict.version, std::make_shared<const PackageSource> (whereFrom, std::move (packageBytes)));
}

void FirmwarePackageStore::refuse (const juce::String& whereFrom, const juce::String& reason)
{
    AppLog::logLine ("Firmware package " + whereFrom + " refused: " + reason);

    const juce::ScopedLock sl (lock);
    refusals[whereFrom] = reason;
}

void FirmwarePackageStore::store (int version, SourcePointer source)
{
    const juce::ScopedLock sl (lock);
    refusals.erase (source->name);
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
    const auto verdict = PackageVerifier().verify (packageStream);
    reason = verdict.reason;
    return verdict.version;
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

    // Kept in the form the package was verified with, so that "$(version)" names the entries it holds.
    selectedPackage = found->second;
    selectedVersion = formatVersionNumber (number);
    return true;
}

bool FirmwarePackageStore::selectPackageFile (const juce::File& file, juce::String& reason)
{
    const auto name = file.getFullPathName();
    const juce::ScopedLock sl (lock);

    for (auto& [number, source] : packages)
    {
        if (source->name == name)
        {
            selectedPackage = source;
            selectedVersion = formatVersionNumber (number);
            return true;
        }
    }

    const auto refusal = refusals.find (name);
    reason = refusal != refusals.end() ? refusal->second
                                       : juce::String ("it was not among the packages searched, or a later one of its version replaced it");
    return false;
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
    const auto index = PackageVerifier::findEntry (archive, entryName);

    if (index < 0)
        return fail ("the package " + source->name + " has no entry " + entryName);

    if (! ZipEntryReader::readWhole (archive, index, maximumEntrySize, destination))
        return fail ("the entry " + entryName + " of the package " + source->name + " cannot be read whole");

    return true;
}
