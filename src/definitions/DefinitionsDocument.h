#pragma once

#include "ExpatDocumentCheck.h"

#include <juce_core/juce_core.h>

#include <memory>

/** Turns a definitions document (a file's bytes, or the inbuilt text) into a parsed XML tree.

    The document is outside input. Expat judges its bytes first (ExpatDocumentCheck): only a
    well-formed document without a DTD, nested no deeper than maxNestingDepth, reaches
    juce::XmlDocument, which builds the tree that the loader walks.

    Line breaks inside text content are kept exactly as stored (CR LF stays CR LF); the
    framework's parser alone would turn them into LF, while it keeps them in attribute values.

    Stateless; any thread.
*/
class DefinitionsDocument final
{
public:
    /** Deepest element nesting accepted, the root element counting as one. */
    static constexpr int maxNestingDepth = ExpatDocumentCheck::maxNestingDepth;

    /** Largest document read; anything larger is treated as unreadable. */
    static constexpr juce::int64 maxFileSize = 16 * 1024 * 1024;

    /** Parses document bytes; nullptr when they are refused or do not parse. */
    static std::unique_ptr<juce::XmlElement> parse (const void* data, size_t numBytes);

    /** Parses a document held as text (its UTF-8 form is judged). */
    static std::unique_ptr<juce::XmlElement> parse (const juce::String& documentText);

    /** Reads a regular file of at most maxFileSize bytes, never opening anything that could
        block (a FIFO, a device). False when it is missing, no regular file, unreadable or too
        large. */
    static bool readFile (const juce::File& file, juce::MemoryBlock& bytes);

    /** The document text handed to juce::XmlDocument: raw carriage returns in text content
        written as character references so that the parser keeps them. Only for documents
        that ExpatDocumentCheck accepted. */
    static juce::String prepareForParser (const juce::String& documentText);

private:
    DefinitionsDocument() = delete;
};
