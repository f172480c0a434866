// The registry against a model: after every append and removal, its links,
// ends, count and walk must match a plain list of the same clients.

#include "server/client_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// "+3" appends the client with socket 3, "-3" removes it.
struct Sequence {
    const char* name;
    std::vector<std::string> steps;
};

const Sequence SEQUENCES[] = {
    {"append to empty", {"+1"}},
    {"remove the only entry", {"+1", "-1"}},
    {"remove the head of three", {"+1", "+2", "+3", "-1"}},
    {"remove the middle of three", {"+1", "+2", "+3", "-2"}},
    {"remove the tail of three", {"+1", "+2", "+3", "-3"}},
    {"empty from the head", {"+1", "+2", "+3", "-1", "-2", "-3"}},
    {"empty from the tail", {"+1", "+2", "+3", "-3", "-2", "-1"}},
    {"refill after empty", {"+1", "-1", "+2", "+3", "-3", "+4"}},
    {"interleaved", {"+1", "+2", "-1", "+3", "+4", "-3", "+5", "-5", "-2", "+6", "-4"}},
};

std::vector<SocketHandle> walk(ClientList* clients) {
    std::vector<SocketHandle> order;
    forEachClient(clients, [&](const ClientNode* entry) { order.push_back(entry->socket); });
    return order;
}

void expectMatches(ClientList* clients, const std::vector<SocketHandle>& model) {
    ASSERT_EQ(clients->count, model.size());
    EXPECT_EQ(walk(clients), model);
    if (model.empty()) {
        EXPECT_EQ(clients->head, nullptr);
        EXPECT_EQ(clients->tail, nullptr);
        return;
    }
    EXPECT_EQ(clients->head->previous, nullptr);
    EXPECT_EQ(clients->tail->next, nullptr);
    EXPECT_EQ(clients->head->socket, model.front());
    EXPECT_EQ(clients->tail->socket, model.back());
    // Backwards along `previous` must give the same order reversed.
    std::vector<SocketHandle> backwards;
    for (const ClientNode* entry = clients->tail; entry != nullptr; entry = entry->previous) {
        backwards.push_back(entry->socket);
    }
    EXPECT_EQ(backwards, std::vector<SocketHandle>(model.rbegin(), model.rend()));
}

TEST(ClientList, MatchesAPlainListAfterEveryStep) {
    for (const Sequence& sequence : SEQUENCES) {
        SCOPED_TRACE(sequence.name);
        ClientList* clients = createClientList();
        std::vector<SocketHandle> model;
        std::vector<ClientNode*> nodes(16, nullptr);
        for (const std::string& step : sequence.steps) {
            SCOPED_TRACE(step);
            auto id = static_cast<SocketHandle>(std::stoul(step.substr(1)));
            if (step[0] == '+') {
                nodes[id] = new ClientNode{nullptr, nullptr, id};
                appendClient(clients, nodes[id]);
                model.push_back(id);
            } else {
                removeClient(clients, nodes[id]);
                model.erase(std::find(model.begin(), model.end(), id));
            }
            expectMatches(clients, model);
        }
        for (SocketHandle id : model) {
            removeClient(clients, nodes[id]); // frees what the sequence left
        }
        delete clients;
    }
}

TEST(ClientList, FirstAppendSetsTheCursor) {
    ClientList* clients = createClientList();
    auto* only = new ClientNode{nullptr, nullptr, 7};
    appendClient(clients, only);
    EXPECT_EQ(clients->head, only);
    EXPECT_EQ(clients->tail, only);
    EXPECT_EQ(clients->cursor, only);
    EXPECT_EQ(clients->count, 1u);
    removeClient(clients, only);
    delete clients;
}

} // namespace
