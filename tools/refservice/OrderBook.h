#pragma once
#include "FaultPlan.h"

#include <QJsonObject>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::refservice {

// Which reply grammar answers an order query: auto picks version 4 for the fuse action
// "orders.v4check" (any case), version 3 for every other.
enum class OrderGrammar { Auto, V3, V4 };

std::optional<OrderGrammar> parseOrderGrammar(std::string_view text);
const char* orderGrammarName(OrderGrammar grammar);

// An order waiting for the high-resolution original of a photo. Absent values are left out of
// the query reply, so a test can send the orders that real replies may hold.
struct Order {
    int id = 0;
    std::optional<std::string> localFileLocation;
    std::optional<std::string> orderId;
    std::optional<std::string> imageId;
    std::optional<std::string> pictureId;
    bool fulfilled = false;
    int fulfilledBy = 0; // request number of the hi-res upload
};

// Builds an order from control fields: localfilelocation, orderid, imageid, pictureid.
std::optional<Order> makeOrder(const Params& params, std::string& error);

// What a hi-res upload names its order by.
struct OrderKeys {
    std::optional<std::string> orderId;
    std::optional<std::string> imageId;
    std::optional<std::string> pictureId;
};

// The orders, in the order added, mirrored to a JSON file after every change so that scripts
// can follow them without the control calls.
class OrderBook {
public:
    // Writes the file for the orders held now, or removes one left by an earlier run when there
    // are none, so the file never describes orders this run does not have.
    bool attachFile(std::string path, std::string& error);

    int add(Order order);
    int clear();
    void setGrammar(OrderGrammar grammar);
    OrderGrammar grammar() const;

    std::vector<Order> pending() const;
    // Marks the first pending order with the same image id (and the same order and picture ids
    // where both sides have one) as fulfilled by request n; returns its id.
    std::optional<int> fulfil(const OrderKeys& keys, int n);
    // Undoes fulfil() when the upload could not be stored after all.
    void reopen(int id, int n);

    // {"grammar", "orders": [...]}
    QJsonObject describe() const;
    // {"pending", "fulfilled"}
    QJsonObject counts() const;

private:
    QJsonObject describeLocked() const;
    bool saveLocked(std::string& error) const;
    void saveOrWarnLocked() const;

    mutable std::mutex fMutex;
    std::vector<Order> fOrders;
    OrderGrammar fGrammar = OrderGrammar::Auto;
    int fNextId = 1;
    std::string fPath;
};

} // namespace kivo::refservice
