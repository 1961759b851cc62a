#pragma once
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace kivo::refservice {

struct FormPart {
    std::string name;
    std::string fileName; // %22, %0D and %0A decoded; empty for a text field
    std::string contentType;
};

// Reads a multipart/form-data body as it streams in, and refuses it as soon as it stops
// following the form: every part a form-data part with a name, each name once (unless
// repeatable), header lines that parse, nothing after the closing delimiter line.
class MultipartParser {
public:
    using PartStart = std::function<bool(const FormPart& part)>;
    using PartData = std::function<bool(const char* data, size_t length)>;

    MultipartParser(std::string boundary, std::set<std::string> repeatable, PartStart onPart,
                    PartData onData);

    // Takes the next bytes of the body; false once the body was refused or a callback returned
    // false. Bytes after that are ignored.
    bool feed(const char* data, size_t length);
    // After the last bytes: true when the body ended with its closing delimiter line.
    bool finish();
    // Why the body was refused; empty while it is fine or when a callback stopped it.
    const std::string& error() const { return fError; }

private:
    enum class State { Preamble, AfterDelimiter, Headers, Content, AfterClose, Done, Failed };

    bool step();
    bool headerLine(std::string_view line);
    bool disposition(std::string_view value);
    bool endOfHeaders();
    bool fail(std::string why);

    std::string fDelimiter; // CRLF "--" boundary
    std::set<std::string> fRepeatable;
    PartStart fOnPart;
    PartData fOnData;

    State fState = State::Preamble;
    std::string fBuffer;
    std::string fError;

    // The part whose headers are being read.
    FormPart fPart;
    bool fHasDisposition = false;
    bool fHasContentType = false;
    int fHeaderCount = 0;
    std::set<std::string> fSeenNames;
};

// The boundary parameter of a multipart Content-Type, when present and valid.
std::optional<std::string> multipartBoundary(std::string_view contentType);

// Undoes the escaping browsers apply to form file names: %22, %0D, %0A. Anything else stays.
std::string decodeFormFileName(std::string_view name);

} // namespace kivo::refservice
