#include "ExpatDocumentCheck.h"

#include <expat.h>

#include <climits>
#include <memory>

namespace
{
struct ParserDeleter
{
    void operator() (XML_Parser parser) const noexcept { XML_ParserFree (parser); }
};

/** What the handlers learn while Expat reads; a refusal stops the parser at once. */
struct Verdict
{
    XML_Parser parser = nullptr;
    int depth = 0;
    bool refused = false;

    void refuse()
    {
        refused = true;
        XML_StopParser (parser, XML_FALSE);
    }
};

void XMLCALL startElement (void* userData, const XML_Char*, const XML_Char**)
{
    auto& verdict = *static_cast<Verdict*> (userData);

    // The framework's parser, which builds the tree afterwards, recurses once per level.
    if (++verdict.depth > ExpatDocumentCheck::maxNestingDepth)
        verdict.refuse();
}

void XMLCALL endElement (void* userData, const XML_Char*)
{
    --static_cast<Verdict*> (userData)->depth;
}

void XMLCALL processingInstruction (void* userData, const XML_Char*, const XML_Char*)
{
    // The framework's parser never finishes reading text that follows a processing
    // instruction inside an element; no definitions document needs one there.
    auto& verdict = *static_cast<Verdict*> (userData);

    if (verdict.depth > 0)
        verdict.refuse();
}

void XMLCALL startDoctype (void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    // A document type declaration is the door to entity expansion and to reading other
    // files; no definitions document needs one.
    static_cast<Verdict*> (userData)->refuse();
}
} // namespace

bool ExpatDocumentCheck::hasUtf16ByteOrderMark (const void* data, size_t numBytes) noexcept
{
    if (data == nullptr || numBytes < 2)
        return false;

    const auto* bytes = static_cast<const unsigned char*> (data);
    return (bytes[0] == 0xff && bytes[1] == 0xfe) || (bytes[0] == 0xfe && bytes[1] == 0xff);
}

bool ExpatDocumentCheck::accepts (const void* data, size_t numBytes)
{
    if (data == nullptr || numBytes == 0 || numBytes > (size_t) INT_MAX)
        return false;

    // Naming the encoding overrides the XML declaration's, so UTF-16 without a byte-order
    // mark and 8-bit encodings are not well-formed here.
    const std::unique_ptr<XML_ParserStruct, ParserDeleter> parser (
        XML_ParserCreate (hasUtf16ByteOrderMark (data, numBytes) ? "UTF-16" : "UTF-8"));

    if (parser == nullptr)
        return false;

    Verdict verdict;
    verdict.parser = parser.get();
    XML_SetUserData (parser.get(), &verdict);
    XML_SetElementHandler (parser.get(), startElement, endElement);
    XML_SetStartDoctypeDeclHandler (parser.get(), startDoctype);
    XML_SetProcessingInstructionHandler (parser.get(), processingInstruction);

    const auto status = XML_Parse (parser.get(), static_cast<const char*> (data), (int) numBytes, XML_TRUE);
    return status == XML_STATUS_OK && ! verdict.refused;
}
