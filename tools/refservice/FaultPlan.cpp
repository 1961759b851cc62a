#include "FaultPlan.h"

#include "Names.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <charconv>

namespace kivo::refservice {

namespace {

constexpr Named<FaultKind> kKinds[] = {
    {FaultKind::Http, "http"},   {FaultKind::Status, "status"}, {FaultKind::Body, "body"},
    {FaultKind::Delay, "delay"}, {FaultKind::Hang, "hang"},     {FaultKind::Close, "close"},
};
constexpr Named<RequestKind> kRequestKinds[] = {
    {RequestKind::Photo, "photo"}, {RequestKind::Query, "query"}, {RequestKind::HiRes, "hires"}};

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseInt(const std::string& text, int minValue, int maxValue, int& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end && value >= minValue &&
           value <= maxValue;
}

std::optional<Params> parseJsonObject(std::string_view text, std::string& error) {
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray(text.data(), static_cast<qsizetype>(text.size())), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        error = "invalid JSON object";
        return std::nullopt;
    }
    Params params;
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        std::string text;
        if (value.isString())
            text = value.toString().toStdString();
        else if (value.isDouble())
            text = std::to_string(value.toInteger(-1));
        else {
            error = "field " + it.key().toStdString() + " must be a string or a number";
            return std::nullopt;
        }
        params[it.key().toStdString()] = text;
    }
    return params;
}

} // namespace

const char* faultKindName(FaultKind kind) {
    return nameOf(kKinds, kind);
}

const char* requestKindName(RequestKind kind) {
    return nameOf(kRequestKinds, kind);
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<Params> parseParams(std::string_view text, std::string& error) {
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && text[first] == '{')
        return parseJsonObject(text, error);

    Params params;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('&', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view pair = text.substr(pos, end - pos);
        if (!pair.empty()) {
            const size_t eq = pair.find('=');
            const std::string name = percentDecode(pair.substr(0, eq));
            const std::string value =
                eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1));
            params[name] = value;
        }
        pos = end + 1;
    }
    return params;
}

std::optional<Fault> makeFault(const Params& params, std::string& error) {
    static const char* const known[] = {"kind",    "on",   "count", "match", "code",    "status",
                                        "message", "body", "type",  "ms",    "location"};
    for (const auto& [name, value] : params) {
        if (std::find(std::begin(known), std::end(known), name) == std::end(known)) {
            error = "unknown fault field: " + name;
            return std::nullopt;
        }
    }
    auto field = [&params](const char* name) -> const std::string* {
        auto it = params.find(name);
        return it == params.end() ? nullptr : &it->second;
    };

    Fault fault;
    const std::string* kind = field("kind");
    if (!kind) {
        error = "fault needs a kind";
        return std::nullopt;
    }
    if (std::optional<FaultKind> named = valueNamed(kKinds, *kind)) {
        fault.kind = *named;
    } else {
        error = "unknown fault kind: " + *kind;
        return std::nullopt;
    }
    if (const std::string* on = field("on")) {
        if (std::optional<RequestKind> named = valueNamed(kRequestKinds, *on)) {
            fault.on = named;
        } else if (*on == "any") {
            fault.on = std::nullopt;
        } else {
            error = "invalid on: " + *on + " (photo, query, hires or any)";
            return std::nullopt;
        }
    }
    if (const std::string* count = field("count");
        count && !parseInt(*count, 0, 1000000, fault.remaining)) {
        error = "invalid count: " + *count;
        return std::nullopt;
    }
    if (const std::string* match = field("match"))
        fault.match = *match;
    if (const std::string* body = field("body"))
        fault.body = *body;
    if (const std::string* type = field("type"))
        fault.contentType = *type;
    if (const std::string* message = field("message"))
        fault.message = *message;
    if (const std::string* location = field("location")) {
        // It goes into the reply's header block as given.
        if (location->find_first_of("\r\n") != std::string::npos) {
            error = "invalid location: it holds a line break";
            return std::nullopt;
        }
        fault.location = *location;
    }

    const std::string* status = field("status");
    const std::string* code = field("code");
    if (fault.kind == FaultKind::Http) {
        // "status" is accepted as the HTTP status here, being the natural word for it.
        const std::string* given = code ? code : status;
        if (given && !parseInt(*given, 100, 599, fault.httpCode)) {
            error = "invalid HTTP status: " + *given;
            return std::nullopt;
        }
    } else if (status) {
        fault.status = *status;
    }
    if (const std::string* ms = field("ms"); ms && !parseInt(*ms, 0, 3600 * 1000, fault.delayMs)) {
        error = "invalid ms: " + *ms;
        return std::nullopt;
    }
    return fault;
}

int FaultPlan::add(Fault fault) {
    std::lock_guard lock(fMutex);
    fault.id = fNextId++;
    fault.applied = 0;
    fFaults.push_back(std::move(fault));
    return fFaults.back().id;
}

void FaultPlan::clear() {
    std::lock_guard lock(fMutex);
    fFaults.clear();
}

std::optional<Fault> FaultPlan::take(RequestKind kind, const std::string& subject, bool closeOnly) {
    std::lock_guard lock(fMutex);
    for (auto it = fFaults.begin(); it != fFaults.end(); ++it) {
        if (it->on && *it->on != kind)
            continue;
        if (!it->match.empty() && subject.find(it->match) == std::string::npos)
            continue;
        if (closeOnly && it->kind != FaultKind::Close)
            return std::nullopt;
        ++it->applied;
        Fault used = *it;
        if (it->remaining > 0 && --it->remaining == 0)
            fFaults.erase(it);
        return used;
    }
    return std::nullopt;
}

QJsonArray FaultPlan::describe() const {
    std::lock_guard lock(fMutex);
    QJsonArray list;
    for (const Fault& fault : fFaults) {
        QJsonObject entry{{"id", fault.id},
                          {"kind", faultKindName(fault.kind)},
                          {"on", fault.on ? requestKindName(*fault.on) : "any"},
                          {"remaining", fault.remaining},
                          {"applied", fault.applied}};
        if (!fault.match.empty())
            entry["match"] = QString::fromStdString(fault.match);
        list.append(entry);
    }
    return list;
}

} // namespace kivo::refservice
