#include "FirmwareTool.h"
#include "ToolInput.h"

#include "base/BuildConstants.h"
#include "definitions/InbuiltDefinitions.h"
#include "definitions/UpdaterDefinitions.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FirmwarePackageStore.h"
#include "firmware/FirmwarePackageWriter.h"
#include "firmware/PackageSignature.h"
#include "firmware/PackageSigningKey.h"
#include "firmware/PackageVerifier.h"
#include "base/VersionNumber.h"

#include <iostream>

namespace
{
    // The largest key file the key's loader reads (PackageSigningKey); only for saying why one
    // could not be read.
    constexpr juce::int64 maximumKeyFileSize = 4096;

    /** The value after an option ("--size 359740"), removed from the list with its option. */
    juce::String takeOption (juce::StringArray& arguments, const juce::String& option, bool& missingValue)
    {
        const auto index = arguments.indexOf (option);

        if (index < 0)
            return {};

        if (index + 1 >= arguments.size())
        {
            missingValue = true;
            arguments.remove (index);
            return {};
        }

        const auto value = arguments[index + 1];
        arguments.removeRange (index, 2);
        return value;
    }

    bool takeFlag (juce::StringArray& arguments, const juce::String& flag)
    {
        const auto index = arguments.indexOf (flag);

        if (index < 0)
            return false;

        arguments.remove (index);
        return true;
    }

    bool parseWholeNumber (const juce::String& text, juce::int64& value)
    {
        const auto trimmed = text.trim();

        if (trimmed.startsWithIgnoreCase ("0x") && trimmed.length() > 2
            && trimmed.substring (2).containsOnly ("0123456789abcdefABCDEF") && trimmed.length() <= 10)
        {
            value = trimmed.substring (2).getHexValue64();
            return true;
        }

        if (trimmed.isEmpty() || trimmed.length() > 12 || ! trimmed.containsOnly ("0123456789"))
            return false;

        value = trimmed.getLargeIntValue();
        return true;
    }

    juce::File fileFromArgument (const juce::String& path)
    {
        return juce::File::getCurrentWorkingDirectory().getChildFile (path);
    }

    /** The firmware message kinds that the device's definitions send, from the file or else from
        the inbuilt documents: the windowed and the console-mode definition together, so that a
        package passes only when both front ends could install it. False with the loader's message
        when neither exists. */
    bool firmwareKindsFor (const juce::String& device, const juce::String& definitionsPath,
                           juce::StringArray& kinds, juce::String& error)
    {
        bool found = false;

        for (auto console : { false, true })
        {
            try
            {
                const auto definitions = definitionsPath.isEmpty()
                    ? std::make_unique<UpdaterDefinitions> (InbuiltDefinitions::getText (console), device, console)
                    : std::make_unique<UpdaterDefinitions> (fileFromArgument (definitionsPath), device, console);

                kinds.mergeArray (definitions->getFirmwareMessageKinds());
                found = true;
            }
            catch (const UpdaterDefinitions::FirmwareUpdaterException& e)
            {
                if (error.isEmpty())
                    error = e.getMessage();
            }
        }

        return found;
    }
}

int FirmwareTool::run (const juce::StringArray& arguments)
{
    if (arguments.isEmpty())
        return usage();

    auto rest = arguments;
    const auto command = rest[0];
    rest.remove (0);

    if (command == "image")   return makeImage (rest);
    if (command == "pack")    return makePackage (rest);
    if (command == "verify")  return verifyPackage (rest);
    if (command == "inspect") return inspectImage (rest);
    if (command == "keygen")  return makeKey (rest);
    if (command == "sign")    return signPackage (rest);

    if (command == "--help" || command == "-h")
    {
        std::cout << usageText();
        return 0;
    }

    if (command == "--version")
    {
        std::cout << "vfu-firmware-tool " << BuildConstants::applicationVersion << "\n";
        return 0;
    }

    return usage();
}

int FirmwareTool::makeImage (const juce::StringArray& arguments)
{
    auto rest = arguments;
    bool missingValue = false;
    const auto familyText = takeOption (rest, "--family", missingValue);
    const auto version = takeOption (rest, "--version", missingValue);
    const auto sizeText = takeOption (rest, "--size", missingValue);
    auto output = takeOption (rest, "-o", missingValue);
    const bool withTail = takeFlag (rest, "--tail");

    if (missingValue || ! rest.isEmpty() || output.isEmpty() || version.isEmpty())
        return usage();

    juce::int64 family = 0, size = 0;

    if (! parseWholeNumber (familyText, family) || family > 0xffff)
        return fail ("--family needs a family code from 0 to 65535, such as 6 or 0x0B");

    if (! parseWholeNumber (sizeText, size))
        return fail ("--size needs the image size in bytes");

    juce::String error;
    const auto image = FirmwareImage::make ((int) family, version, size, withTail, error);

    if (image.isEmpty())
        return fail (error);

    const auto target = fileFromArgument (output);

    if (! target.replaceWithData (image.getData(), image.getSize()))
        return fail ("cannot write " + target.getFullPathName());

    return 0;
}

int FirmwareTool::makePackage (const juce::StringArray& arguments)
{
    auto rest = arguments;
    bool missingValue = false;
    const auto output = takeOption (rest, "-o", missingValue);
    auto device = takeOption (rest, "--device", missingValue);
    const auto definitionsPath = takeOption (rest, "--definitions", missingValue);

    if (missingValue || output.isEmpty() || rest.isEmpty())
        return usage();

    if (device.isEmpty())
        device = BuildConstants::deviceName;

    juce::StringArray kinds;
    juce::String error;

    if (! firmwareKindsFor (device, definitionsPath, kinds, error))
        return fail (error);

    juce::Array<FirmwarePackageWriter::Image> images;

    for (auto& path : rest)
    {
        const auto file = fileFromArgument (path);
        FirmwarePackageWriter::Image image;
        image.entryName = file.getFileName();

        juce::String reason;

        if (! ToolInput::read (file, FirmwarePackageStore::maximumEntrySize, image.content, reason))
            return fail ("cannot read " + file.getFullPathName() + ": " + reason);

        if (! image.entryName.endsWith (".syx"))
            return fail (image.entryName + ": image names end in .syx");

        images.add (std::move (image));
    }

    if (FirmwarePackageStore::versionFromFileName (FirmwarePackageWriter::checksumListNameFor (images)) < 0)
        return fail ("no version can be read from the name " + images.getReference (0).entryName
                     + " (name it like quorrel-fw-2.1.13.syx)");

    // A package the updater would refuse is not written: it would only be found refused on a
    // user's machine.
    const auto package = FirmwarePackageWriter::build (images);
    juce::MemoryInputStream stream (package, false);
    PackageVerifier verifier;
    verifier.requireImagesFor (kinds);
    const auto verdict = verifier.verify (stream);

    if (verdict.version < 0)
        return fail ("not packed, the " + device + "'s updater would refuse it: " + verdict.reason);

    const auto target = fileFromArgument (output);

    if (! target.replaceWithData (package.getData(), package.getSize()))
        return fail ("cannot write " + target.getFullPathName());

    return 0;
}

int FirmwareTool::verifyPackage (const juce::StringArray& arguments)
{
    auto rest = arguments;
    bool missingValue = false;
    const auto device = takeOption (rest, "--device", missingValue);
    const auto publicKey = takeOption (rest, "--public-key", missingValue);
    const auto definitionsPath = takeOption (rest, "--definitions", missingValue);

    if (missingValue || rest.size() != 1)
        return usage();

    std::unique_ptr<PackageSignature> signature;

    if (publicKey.isNotEmpty())
    {
        Ed25519::Key key {};

        if (! PackageSignature::parseKey (publicKey, key))
            return fail ("--public-key needs the maker's public key as 64 hex digits");

        if (Ed25519::hasSmallOrder (key))
            return fail ("--public-key: " + publicKey + " is a point of small order, not a maker's key: "
                         "signatures under it can be made without any secret key");

        signature = std::make_unique<PackageSignature> (publicKey);

        if (! signature->hasValidKey())
            return fail ("--public-key: " + publicKey + " is not a valid Ed25519 public key");
    }

    // The images the updater will send, from the definitions it runs (the build's device by default).
    juce::StringArray kinds;
    juce::String error;

    if (! firmwareKindsFor (device.isNotEmpty() ? device : juce::String (BuildConstants::deviceName),
                            definitionsPath, kinds, error))
        return fail (error);

    const auto file = fileFromArgument (rest[0]);
    const auto key = FirmwarePackageStore::deviceKeyFor (device);

    if (! key.isEmpty() && ! file.getFileName().contains (key))
        return fail ("not acceptable: the file name does not contain the device key \"" + key + "\"");

    juce::MemoryBlock bytes;

    // Read as the updater reads packages: only a regular file, never in a way that can block.
    juce::String reason;

    if (! ToolInput::read (file, FirmwarePackageStore::maximumPackageSize, bytes, reason))
        return fail ("not acceptable: cannot read " + file.getFullPathName() + ": " + reason);

    juce::MemoryInputStream stream (bytes, false);
    PackageVerifier verifier;
    verifier.requireSignature (signature.get());
    verifier.requireImagesFor (kinds);
    const auto verdict = verifier.verify (stream);

    if (verdict.version < 0)
        return fail ("not acceptable: " + verdict.reason);

    std::cout << formatVersionNumber (verdict.version) << std::endl;
    return 0;
}

int FirmwareTool::inspectImage (const juce::StringArray& arguments)
{
    if (arguments.size() != 1)
        return usage();

    juce::MemoryBlock bytes;

    juce::String reason;

    if (! ToolInput::read (fileFromArgument (arguments[0]), FirmwarePackageStore::maximumEntrySize, bytes, reason))
        return fail ("cannot read " + arguments[0] + ": " + reason);

    const auto description = FirmwareImage::inspect (bytes);

    if (! description.valid)
        return fail ("not a valid image: " + description.error);

    std::cout << "family " << juce::String::toHexString (description.familyLowBits).paddedLeft ('0', 2)
              << ", version " << description.version << ", " << bytes.getSize() << " bytes"
              << (description.hasTail ? " with 2 tail bytes" : "") << std::endl;
    return 0;
}

int FirmwareTool::makeKey (const juce::StringArray& arguments)
{
    auto rest = arguments;
    bool missingValue = false;
    const auto output = takeOption (rest, "-o", missingValue);

    if (missingValue || output.isEmpty() || ! rest.isEmpty())
        return usage();

    const auto key = PackageSigningKey::generate();

    if (! key.isValid())
        return fail ("the cryptographic library could not make a key");

    juce::String error;

    if (! key.save (fileFromArgument (output), error))
        return fail (error);

    std::cout << key.getPublicKeyHex() << std::endl;
    return 0;
}

int FirmwareTool::signPackage (const juce::StringArray& arguments)
{
    auto rest = arguments;
    bool missingValue = false;
    const auto keyPath = takeOption (rest, "--key", missingValue);

    if (missingValue || keyPath.isEmpty() || rest.size() != 1)
        return usage();

    juce::String error;
    const auto keyFile = fileFromArgument (keyPath);
    const auto key = PackageSigningKey::load (keyFile, error);

    if (! key.isValid())
    {
        // The key's loader says only that it could not read the file; say which case it is.
        if (error.startsWith ("cannot read"))
            error << ": " << ToolInput::whyUnreadable (keyFile, maximumKeyFileSize);

        return fail (error);
    }

    const auto packageFile = fileFromArgument (rest[0]);
    juce::MemoryBlock package, signedPackage;
    juce::String reason;

    if (! ToolInput::read (packageFile, FirmwarePackageStore::maximumPackageSize, package, reason))
        return fail ("cannot read " + packageFile.getFullPathName() + ": " + reason);

    if (! key.signPackage (package, signedPackage, error))
        return fail ("cannot sign " + packageFile.getFullPathName() + ": " + error);

    // Checked as the updater will check it before the package is replaced.
    juce::MemoryInputStream check (signedPackage, false);
    const PackageSignature signature (key.getPublicKeyHex());
    PackageVerifier verifier;
    verifier.requireSignature (&signature);
    const auto verdict = verifier.verify (check);

    if (verdict.version < 0)
        return fail ("the signed package does not verify: " + verdict.reason);

    juce::TemporaryFile temporary (packageFile);

    if (! temporary.getFile().replaceWithData (signedPackage.getData(), signedPackage.getSize())
        || ! temporary.overwriteTargetFileWithTemporary())
        return fail ("cannot write " + packageFile.getFullPathName());

    return 0;
}

const char* FirmwareTool::usageText()
{
    return "usage:\n"
           "  vfu-firmware-tool image --family 6 --version 2.1.13 --size 359740 [--tail] -o image.syx\n"
           "  vfu-firmware-tool pack -o package.vfw image.syx [image.syx ...] [--device NAME] [--definitions FILE]\n"
           "  vfu-firmware-tool verify package.vfw [--device NAME] [--public-key HEX] [--definitions FILE]\n"
           "  vfu-firmware-tool inspect image.syx\n"
           "  vfu-firmware-tool keygen -o maker.key\n"
           "  vfu-firmware-tool sign --key maker.key package.vfw\n"
           "  vfu-firmware-tool --version | --help | -h\n"
           "Makes simulated firmware images and .vfw packages, signs packages and checks them as the\n"
           "updater does.\n"
           "  image    writes one simulated image: a SysEx message of device family --family (a number)\n"
           "           for --version (2.1.13, 1.2.0p3), --size bytes long in all; --tail ends it with\n"
           "           00 00 after F7 (counted in --size).\n"
           "  pack     writes a package of the images, its checksum list named after the first image\n"
           "           (quorrel-fw-2.1.13.syx gives quorrel-fw-2.1.13.sha); writes nothing when the\n"
           "           updater would refuse it (an image that the definitions send is missing).\n"
           "  verify   prints the package's version, or why the updater would refuse it.\n"
           "  inspect  prints the family, version and size of a simulated image.\n"
           "  keygen   writes a new secret key file (readable by its owner only, never replacing a\n"
           "           file) and prints its public key, 64 hex digits.\n"
           "  sign     adds the maker's signature to the package and checks the result.\n"
           "  --device NAME       the instrument whose definitions judge the package: Quorrel (this\n"
           "                      build's, the default), Dorrick, Vantoline or Halvane XV; with verify\n"
           "                      the file's name must also hold the instrument's key (quorrel).\n"
           "  --definitions FILE  judge by the definitions in FILE instead of the inbuilt ones (both the\n"
           "                      windowed and the console-mode definition of the device, where present).\n"
           "  --public-key HEX    verify also requires the signature of the maker with that key.\n"
           "Inputs are read only when they are regular files: a missing file, a FIFO, a device or a\n"
           "folder, or one that is too large, is refused with the reason.\n"
           "Exit status: 0 done, 1 the command failed or the package is not acceptable (the reason is\n"
           "on standard error), 2 a usage error.\n";
}

int FirmwareTool::usage()
{
    std::cerr << usageText();
    return 2;
}

int FirmwareTool::fail (const juce::String& message)
{
    std::cerr << message << std::endl;
    return 1;
}
