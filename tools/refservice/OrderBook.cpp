#include "OrderBook.h"

#include "Names.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <iostream>

namespace kivo::refservice {

namespace {

constexpr Named<OrderGrammar> kGrammars[] = {
    {OrderGrammar::Auto, "auto"}, {OrderGrammar::V3, "v3"}, {OrderGrammar::V4, "v4"}};

QJsonObject orderJson(const Order& order) {
    QJsonObject entry{{"id", order.id}, {"state", order.fulfilled ? "fulfilled" : "pending"}};
    auto put = [&entry](const char* name, const std::optional<std::string>& value) {
        if (value)
            entry[name] = QString::fromStdString(*value);
    };
    put("localfilelocation", order.localFileLocation);
    put("orderid", order.orderId);
    put("imageid", order.imageId);
    put("pictureid", order.pictureId);
    if (order.fulfilled)
        entry["fulfilledBy"] = order.fulfilledBy;
    return entry;
}

// Ids the upload leaves out, or the order lacks, do not count against a match.
bool sameWhereBothHave(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return !a || !b || *a == *b;
}

} // namespace

std::optional<OrderGrammar> parseOrderGrammar(std::string_view text) {
    return valueNamed(kGrammars, text);
}

const char* orderGrammarName(OrderGrammar grammar) {
    return nameOf(kGrammars, grammar);
}

std::optional<Order> makeOrder(const Params& params, std::string& error) {
    Order order;
    for (const auto& [name, value] : params) {
        if (name == "localfilelocation")
            order.localFileLocation = value;
        else if (name == "orderid")
            order.orderId = value;
        else if (name == "imageid")
            order.imageId = value;
        else if (name == "pictureid")
            order.pictureId = value;
        else {
            error = "unknown order field: " + name;
            return std::nullopt;
        }
    }
    return order;
}

bool OrderBook::attachFile(std::string path, std::string& error) {
    std::lock_guard lock(fMutex);
    fPath = std::move(path);
    if (!fOrders.empty())
        return saveLocked(error);
    QFile stale(QString::fromStdString(fPath));
    if (stale.exists() && !stale.remove()) {
        error = "cannot remove " + fPath + ": " + stale.errorString().toStdString();
        return false;
    }
    return true;
}

int OrderBook::add(Order order) {
    std::lock_guard lock(fMutex);
    order.id = fNextId++;
    order.fulfilled = false;
    order.fulfilledBy = 0;
    fOrders.push_back(std::move(order));
    saveOrWarnLocked();
    return fOrders.back().id;
}

int OrderBook::clear() {
    std::lock_guard lock(fMutex);
    const int removed = static_cast<int>(fOrders.size());
    fOrders.clear();
    saveOrWarnLocked();
    return removed;
}

void OrderBook::setGrammar(OrderGrammar grammar) {
    std::lock_guard lock(fMutex);
    fGrammar = grammar;
    saveOrWarnLocked();
}

OrderGrammar OrderBook::grammar() const {
    std::lock_guard lock(fMutex);
    return fGrammar;
}

std::vector<Order> OrderBook::pending() const {
    std::lock_guard lock(fMutex);
    std::vector<Order> list;
    std::copy_if(fOrders.begin(), fOrders.end(), std::back_inserter(list),
                 [](const Order& order) { return !order.fulfilled; });
    return list;
}

std::optional<int> OrderBook::fulfil(const OrderKeys& keys, int n) {
    std::lock_guard lock(fMutex);
    for (Order& order : fOrders) {
        if (order.fulfilled || !order.imageId || order.imageId != keys.imageId ||
            !sameWhereBothHave(order.orderId, keys.orderId) ||
            !sameWhereBothHave(order.pictureId, keys.pictureId))
            continue;
        order.fulfilled = true;
        order.fulfilledBy = n;
        saveOrWarnLocked();
        return order.id;
    }
    return std::nullopt;
}

void OrderBook::reopen(int id, int n) {
    std::lock_guard lock(fMutex);
    for (Order& order : fOrders) {
        if (order.id == id && order.fulfilled && order.fulfilledBy == n) {
            order.fulfilled = false;
            order.fulfilledBy = 0;
            saveOrWarnLocked();
        }
    }
}

QJsonObject OrderBook::describe() const {
    std::lock_guard lock(fMutex);
    return describeLocked();
}

QJsonObject OrderBook::counts() const {
    std::lock_guard lock(fMutex);
    const auto fulfilled = std::count_if(fOrders.begin(), fOrders.end(),
                                         [](const Order& order) { return order.fulfilled; });
    return QJsonObject{{"pending", static_cast<qint64>(fOrders.size()) - fulfilled},
                       {"fulfilled", static_cast<qint64>(fulfilled)}};
}

QJsonObject OrderBook::describeLocked() const {
    QJsonArray list;
    for (const Order& order : fOrders)
        list.append(orderJson(order));
    return QJsonObject{{"grammar", orderGrammarName(fGrammar)}, {"orders", list}};
}

bool OrderBook::saveLocked(std::string& error) const {
    if (fPath.empty())
        return true;
    QSaveFile file(QString::fromStdString(fPath));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(describeLocked()).toJson(QJsonDocument::Indented)) < 0 ||
        !file.commit()) {
        error = "cannot write " + fPath + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

// The list in memory stays the truth (the control calls answer from it); the file is a copy.
void OrderBook::saveOrWarnLocked() const {
    std::string error;
    if (!saveLocked(error))
        std::cerr << "kivo-refservice: " << error << std::endl;
}

} // namespace kivo::refservice
