#pragma once

#include "PackageSignature.h"
#include "PackageVerifier.h"

#include <juce_core/juce_core.h>

#include <map>
#include <memory>

/** The firmware packages found for one device, filed by version number.

    Packages come from the zip archive appended to the running executable, then from each
    given folder (or file). Each is verified (see PackageVerifier): its SHA-256 list, the images
    the definitions send at its version, and a bounded number of bytes read, per package and per
    search; each refused package gets a log line that says why. Built on the message thread
    before the engine starts; afterwards the engine reads the selected package while the message
    thread may change the selection, so selection and reading go through the store's lock (never
    held while a package is read).

    Every package is read once, whole, and its verified bytes are kept: what the engine sends
    is exactly what was verified, whatever happens to the file afterwards. Only regular files
    (after following links) are read, and never in a way that can block: a FIFO or a device
    named like a package is skipped like any unacceptable package.

    With a maker's public key, every package file must also carry the maker's valid signature;
    the package inside the executable is part of the program and needs no signature.
*/
class FirmwarePackageStore final
{
public:
    /** deviceName picks the key that package names must contain ("quorrel" for "Quorrel").
        packagePublicKey (64 hex digits) requires package files to be signed with its secret key;
        empty requires no signature. */
    explicit FirmwarePackageStore (juce::String deviceName,
                                   const juce::String& packagePublicKey = PackageSignature::builtInPublicKey());
    ~FirmwarePackageStore();

    /** The executable file searched for an appended archive; defaults to the running executable. For tests. */
    void setExecutableFile (const juce::File& file);

    /** The message kinds of the firmware transfers the definitions send ("quorrel-fw-$(version)"):
        a package is offered only when it holds each of their images at its own version. None by default. */
    void setRequiredImages (const juce::StringArray& firmwareMessageKinds);

    /** The most entry bytes one search may decompress, all packages together; for tests. */
    void setSearchByteLimit (juce::int64 limit);

    /** Searches the executable, then each path in order; later finds replace equal versions. */
    void findFirmwarePackages (const juce::StringArray& paths);

    /** Version texts, lowest first. */
    juce::StringArray getFirmwareVersions() const;

    /** True and selected if a package of that version exists; otherwise nothing changes. */
    bool selectFirmwareVersion (const juce::String& versionText);

    /** Selects the package that the search read from that file (a path given to
        findFirmwarePackages). False when the search took none from it, with the reason it was
        refused; the selection does not change then, and no other package is taken in its place. */
    bool selectPackageFile (const juce::File& file, juce::String& reason);

    /** The selected version in its usual form ("2.1.14p1" for "2.1.14p01"), or empty. */
    juce::String getSelectedVersion() const;

    bool hasSelectedPackage() const;

    /** Reads the named entry of the selected package whole, from the package's verified bytes.
        Returns false when no package is selected or the entry does not exist or cannot be read;
        then reason (when given) says why and names the package.
        Engine thread; the selection may change meanwhile on the message thread. */
    bool readSelectedEntry (const juce::String& entryName, juce::MemoryBlock& destination,
                            juce::String* reason = nullptr) const;

    /** The key a package name must contain for that device, or empty for no condition. */
    static juce::String deviceKeyFor (const juce::String& deviceName);

    /** The package's version number, or -1 when it is not acceptable, judged on its own: no
        signature and no particular images required. Reads the stream from its current position. */
    static int verifyPackage (juce::InputStream& packageStream);

    /** The same, telling in reason why a package is not acceptable (for tools). */
    static int verifyPackage (juce::InputStream& packageStream, juce::String& reason);

    /** Version number from a ".sha" entry name ("quorrel-fw-2.1.13.sha" gives 2011399), or -1. */
    static int versionFromFileName (const juce::String& name)   { return PackageVerifier::versionFromFileName (name); }

    /** Entries larger than this make a package unacceptable instead of exhausting memory. */
    static constexpr juce::int64 maximumEntrySize = PackageVerifier::maximumEntrySize;

    /** Package files and packages inside the executable larger than this are not read. */
    static constexpr juce::int64 maximumPackageSize = PackageVerifier::maximumPackageSize;

    /** What one search may decompress to verify packages, all of them together. */
    static constexpr juce::int64 maximumBytesPerSearch = 2 * maximumPackageSize;

private:
    class PackageSource;
    using SourcePointer = std::shared_ptr<const PackageSource>;

    void store (int version, SourcePointer source);
    void addEmbeddedPackages();
    void addPackagesAt (const juce::File& path);
    void addPackageFile (const juce::File& file);
    void considerPackage (const juce::String& whereFrom, juce::MemoryBlock packageBytes, bool needsSignature);
    void refuse (const juce::String& whereFrom, const juce::String& reason);
    bool isCandidateName (const juce::String& name) const;

    const juce::String deviceKey;
    const std::unique_ptr<const PackageSignature> requiredSignature; // none: packages need no signature
    juce::File executableFile;
    juce::StringArray requiredKinds;
    juce::int64 searchByteLimit = maximumBytesPerSearch;
    juce::int64 searchBytesLeft = 0; // message thread, during a search
    mutable juce::CriticalSection lock;
    std::map<int, SourcePointer> packages;
    std::map<juce::String, juce::String> refusals; // why each refused package was refused, by where it came from
    SourcePointer selectedPackage;
    juce::String selectedVersion;

    JUCE_DECLARE_NON_COPYABLE (FirmwarePackageStore)
};
