#pragma once

#include <cstddef>

/** Judges a definitions document's bytes with Expat before anything else reads them.

    A document passes only when it is well-formed XML in UTF-8 (with or without a byte-order
    mark) or in UTF-16 with a byte-order mark (either byte order), has no document type
    declaration, and nests no deeper than maxNestingDepth elements. The encoding is fixed by
    the byte-order mark alone; an encoding named in the XML declaration is not followed.

    Stateless; any thread.
*/
class ExpatDocumentCheck final
{
public:
    /** Deepest element nesting accepted, the root element counting as one. */
    static constexpr int maxNestingDepth = 256;

    /** True when the bytes are a document that the definitions loader may parse. */
    static bool accepts (const void* data, size_t numBytes);

    /** True when the bytes start with a UTF-16 byte-order mark (either byte order). */
    static bool hasUtf16ByteOrderMark (const void* data, size_t numBytes) noexcept;

private:
    ExpatDocumentCheck() = delete;
};
