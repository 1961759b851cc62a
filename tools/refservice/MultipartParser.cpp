#include "MultipartParser.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace kivo::refservice {

namespace {

constexpr size_t kMaxHeaderLine = 8 * 1024;
constexpr int kMaxHeaders = 16;

using Parameters = std::vector<std::pair<std::string, std::string>>;

bool isTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

void skipSpace(std::string_view text, size_t& pos) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
        ++pos;
}

std::string_view trimmed(std::string_view text) {
    size_t begin = 0;
    skipSpace(text, begin);
    size_t end = text.size();
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    return text.substr(begin, end - begin);
}

// `type *( ";" name "=" value )`, names lower-cased, each at most once. A quoted value runs to
// the next quote: browsers percent-encode a quote in a file name and send a backslash as is.
std::optional<std::string> parseHeaderValue(std::string_view text, Parameters& params,
                                            std::string& why) {
    size_t pos = 0;
    skipSpace(text, pos);
    const size_t typeEnd = std::min(text.find(';', pos), text.size());
    const std::string_view type = trimmed(text.substr(pos, typeEnd - pos));
    pos = typeEnd;
    while (true) {
        skipSpace(text, pos);
        if (pos == text.size())
            return lower(type);
        if (text[pos] != ';') {
            why = "text after a parameter value";
            return std::nullopt;
        }
        ++pos;
        skipSpace(text, pos);
        const size_t eq = text.find('=', pos);
        const std::string_view name =
            text.substr(pos, eq == std::string_view::npos ? std::string_view::npos : eq - pos);
        if (eq == std::string_view::npos || !isToken(name)) {
            why = "a parameter without a name or value";
            return std::nullopt;
        }
        pos = eq + 1;
        std::string value;
        if (pos < text.size() && text[pos] == '"') {
            const size_t close = text.find('"', pos + 1);
            if (close == std::string_view::npos) {
                why = "a quoted parameter value is not closed";
                return std::nullopt;
            }
            value = text.substr(pos + 1, close - pos - 1);
            pos = close + 1;
        } else {
            const size_t begin = pos;
            while (pos < text.size() && isTokenChar(text[pos]))
                ++pos;
            value = text.substr(begin, pos - begin);
            if (value.empty()) {
                why = "a parameter without a value";
                return std::nullopt;
            }
        }
        std::string key = lower(name);
        if (std::any_of(params.begin(), params.end(),
                        [&key](const auto& param) { return param.first == key; })) {
            why = "the parameter " + key + " given twice";
            return std::nullopt;
        }
        params.emplace_back(std::move(key), std::move(value));
    }
}

const std::string* parameter(const Parameters& params, std::string_view name) {
    for (const auto& [key, value] : params) {
        if (key == name)
            return &value;
    }
    return nullptr;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    const char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

} // namespace

std::optional<std::string> multipartBoundary(std::string_view contentType) {
    Parameters params;
    std::string why;
    const std::optional<std::string> type = parseHeaderValue(contentType, params, why);
    const std::string* boundary = parameter(params, "boundary");
    if (!type || *type != "multipart/form-data" || !boundary || boundary->empty() ||
        boundary->size() > 70 || boundary->back() == ' ')
        return std::nullopt;
    for (const char c : *boundary) {
        if (!std::isalnum(static_cast<unsigned char>(c)) &&
            std::string_view("'()+_,-./:=? ").find(c) == std::string_view::npos)
            return std::nullopt;
    }
    return *boundary;
}

std::string decodeFormFileName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size()) {
            const int high = hexValue(name[i + 1]);
            const int low = hexValue(name[i + 2]);
            const int value = high >= 0 && low >= 0 ? high * 16 + low : -1;
            if (value == '"' || value == '\r' || value == '\n') {
                out += static_cast<char>(value);
                i += 2;
                continue;
            }
        }
        out += name[i];
    }
    return out;
}

MultipartParser::MultipartParser(std::string boundary, std::set<std::string> repeatable,
                                 PartStart onPart, PartData onData)
    : fDelimiter("\r\n--" + boundary), fRepeatable(std::move(repeatable)),
      fOnPart(std::move(onPart)), fOnData(std::move(onData)) {
    // The first delimiter may open the body, with no line break before it.
    fBuffer = "\r\n";
}

bool MultipartParser::fail(std::string why) {
    if (fState != State::Failed) {
        fState = State::Failed;
        fError = std::move(why);
        fBuffer.clear();
    }
    return false;
}

bool MultipartParser::feed(const char* data, size_t length) {
    if (fState == State::Failed)
        return false;
    fBuffer.append(data, length);
    while (step()) {
    }
    return fState != State::Failed;
}

bool MultipartParser::finish() {
    if (fState != State::Done && fState != State::Failed)
        fail("the body does not end with its closing delimiter");
    return fState == State::Done;
}

// Handles what the buffer holds for the current state; true when it can go on at once.
bool MultipartParser::step() {
    switch (fState) {
    case State::Preamble:
    case State::Content: {
        const size_t found = fBuffer.find(fDelimiter);
        // Short of a delimiter, all but its possible beginning can go.
        const size_t usable = found != std::string::npos ? found
                              : fBuffer.size() >= fDelimiter.size()
                                  ? fBuffer.size() - fDelimiter.size() + 1
                                  : 0;
        if (fState == State::Content && usable > 0 && !fOnData(fBuffer.data(), usable))
            return fail({});
        if (found == std::string::npos) {
            fBuffer.erase(0, usable);
            return false;
        }
        fBuffer.erase(0, found + fDelimiter.size());
        fState = State::AfterDelimiter;
        return true;
    }
    case State::AfterDelimiter:
        if (fBuffer.size() < 2)
            return false;
        if (fBuffer.compare(0, 2, "--") == 0) {
            fState = State::AfterClose;
        } else if (fBuffer.compare(0, 2, "\r\n") == 0) {
            fState = State::Headers;
            fPart = {};
            fHasDisposition = fHasContentType = false;
            fHeaderCount = 0;
        } else {
            return fail("a delimiter line carries more than the boundary");
        }
        fBuffer.erase(0, 2);
        return true;
    case State::Headers: {
        const size_t end = fBuffer.find("\r\n");
        if (end == std::string::npos) {
            if (fBuffer.size() > kMaxHeaderLine)
                return fail("a part header line is too long");
            return false;
        }
        if (end > kMaxHeaderLine)
            return fail("a part header line is too long");
        const std::string line = fBuffer.substr(0, end);
        fBuffer.erase(0, end + 2);
        return line.empty() ? endOfHeaders() : headerLine(line);
    }
    case State::AfterClose:
        if (fBuffer.size() < 2)
            return false;
        if (fBuffer.compare(0, 2, "\r\n") != 0)
            return fail("the closing delimiter line carries more than the boundary");
        fBuffer.erase(0, 2);
        fState = State::Done;
        return true;
    case State::Done:
        if (!fBuffer.empty())
            return fail("data after the closing delimiter");
        return false;
    case State::Failed:
        return false;
    }
    return false;
}

bool MultipartParser::headerLine(std::string_view line) {
    if (++fHeaderCount > kMaxHeaders)
        return fail("a part has too many header lines");
    if (line.find_first_of("\r\n") != std::string_view::npos)
        return fail("a part header holds a bare CR or LF");
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return fail("a part header line without a colon");
    if (!isToken(line.substr(0, colon)))
        return fail("a part header with an invalid name");
    const std::string name = lower(line.substr(0, colon));
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (name == "content-disposition") {
        if (fHasDisposition)
            return fail("a part with two Content-Disposition headers");
        fHasDisposition = true;
        return disposition(value);
    }
    if (name == "content-type") {
        if (fHasContentType)
            return fail("a part with two Content-Type headers");
        fHasContentType = true;
        fPart.contentType = value;
    }
    return true; // other headers carry nothing for a form field
}

bool MultipartParser::disposition(std::string_view value) {
    Parameters params;
    std::string why;
    const std::optional<std::string> type = parseHeaderValue(value, params, why);
    if (!type)
        return fail("a Content-Disposition with " + why);
    if (*type != "form-data")
        return fail("a part that is not form-data");
    if (const std::string* name = parameter(params, "name"))
        fPart.name = *name;
    if (const std::string* fileName = parameter(params, "filename"))
        fPart.fileName = decodeFormFileName(*fileName);
    return true;
}

bool MultipartParser::endOfHeaders() {
    if (fPart.name.empty())
        return fail("a part without a form-data name");
    if (!fSeenNames.insert(fPart.name).second && !fRepeatable.count(fPart.name))
        return fail("the field " + fPart.name + " given twice");
    fState = State::Content;
    if (!fOnPart(fPart))
        return fail({});
    return true;
}

} // namespace kivo::refservice
