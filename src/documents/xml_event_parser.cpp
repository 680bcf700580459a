#include "documents/xml_event_parser.h"

#include <expat.h>

#include <algorithm>
#include <memory>

namespace qm::xml {

namespace {

// Far deeper than any real document nests; a bound keeps a hostile one from costing gigabytes of
// open-element bookkeeping.
constexpr int kDeepestNesting = 4096;

struct Context {
    XML_Parser parser;
    Handler& handler;
    bool refused = false;
    int depth = 0;
};

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* context = static_cast<Context*>(data);
    if (++context->depth > kDeepestNesting) {
        XML_StopParser(context->parser, XML_FALSE);
        return;
    }
    context->handler.startElement(name, Attributes(attributes));
    if (context->handler.stopped()) XML_StopParser(context->parser, XML_FALSE);
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
    auto* context = static_cast<Context*>(data);
    // Expat may still report the end of an empty element whose start we did not pass on.
    if (context->depth-- > kDeepestNesting) return;
    context->handler.endElement(name);
    if (context->handler.stopped()) XML_StopParser(context->parser, XML_FALSE);
}

void XMLCALL onCharacters(void* data, const XML_Char* text, int length) {
    auto* context = static_cast<Context*>(data);
    if (length <= 0 || context->handler.stopped()) return;
    context->handler.characters(std::string_view(text, static_cast<std::size_t>(length)));
    if (context->handler.stopped()) XML_StopParser(context->parser, XML_FALSE);
}

// Word never writes a DTD; one in a document can only serve entity tricks, so the parse stops here.
void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    auto* context = static_cast<Context*>(data);
    context->refused = true;
    XML_StopParser(context->parser, XML_FALSE);
}

void XMLCALL onEntityDeclaration(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                 const XML_Char*, const XML_Char*, const XML_Char*) {
    auto* context = static_cast<Context*>(data);
    context->refused = true;
    XML_StopParser(context->parser, XML_FALSE);
}

// Never loads anything: returning failure ends the parse.
int XMLCALL onExternalEntity(XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    return XML_STATUS_ERROR;
}

}  // namespace

ParseResult parse(std::span<const std::uint8_t> data, Handler& handler) {
    std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate(nullptr), XML_ParserFree);
    if (!parser) return ParseResult::malformed;
    Context context{parser.get(), handler};
    XML_SetUserData(parser.get(), &context);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onCharacters);
    XML_SetStartDoctypeDeclHandler(parser.get(), onDoctype);
    XML_SetEntityDeclHandler(parser.get(), onEntityDeclaration);
    XML_SetExternalEntityRefHandler(parser.get(), onExternalEntity);
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);

    // Fed in slices so that no length ever overflows expat's int.
    constexpr std::size_t kSlice = 16 * 1024 * 1024;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(kSlice, data.size() - offset);
        const bool last = offset + length == data.size();
        const auto status = XML_Parse(parser.get(), reinterpret_cast<const char*>(data.data() + offset),
                                      static_cast<int>(length), last ? XML_TRUE : XML_FALSE);
        if (context.refused) return ParseResult::refused;
        if (handler.stopped()) return ParseResult::stopped;
        if (status != XML_STATUS_OK) return ParseResult::malformed;
        offset += length;
    } while (offset < data.size());
    return ParseResult::complete;
}

}  // namespace qm::xml
