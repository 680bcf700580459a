#pragma once
// Event-driven XML reading over expat: start and end tags by their qualified names as written
// ("w:p", no namespace resolution) and character data. Document type declarations are refused, so
// no entity is ever declared, expanded or loaded from outside.

#include <cstdint>
#include <span>
#include <string_view>

namespace qm::xml {

// The attributes of one start tag, by qualified name.
class Attributes {
public:
    explicit Attributes(const char** pairs) : pairs_(pairs) {}
    // The value of the attribute, or null when the tag does not have it.
    const char* find(std::string_view name) const {
        for (const char** p = pairs_; *p; p += 2)
            if (name == *p) return p[1];
        return nullptr;
    }

private:
    const char** pairs_;
};

class Handler {
public:
    virtual ~Handler() = default;
    virtual void startElement(std::string_view name, const Attributes& attributes) = 0;
    virtual void endElement(std::string_view name) = 0;
    virtual void characters(std::string_view text) = 0;

    // Ends the parse after the current event; parse() then returns ParseResult::stopped.
    void stop() { stopped_ = true; }
    bool stopped() const { return stopped_; }

private:
    bool stopped_ = false;
};

enum class ParseResult {
    complete,   // the whole document was read
    malformed,  // the parser stopped at a fault; the events before it stand
    refused,    // the document declares a document type; nothing after the declaration was read
    stopped,    // the handler asked to stop; the events before it stand
};

ParseResult parse(std::span<const std::uint8_t> data, Handler& handler);

}  // namespace qm::xml
