// The registry against a model: after every append and removal, its links,
// ends, count and walk must match a plain list of the same clients.

#include "server/client_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
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
                nodes[id] = new ClientNode{nullptr, nullptr, id, false};
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
    auto* only = new ClientNode{nullptr, nullptr, 7, false};
    appendClient(clients, only);
    EXPECT_EQ(clients->head, only);
    EXPECT_EQ(clients->tail, only);
    EXPECT_EQ(clients->cursor, only);
    EXPECT_EQ(clients->count, 1u);
    removeClient(clients, only);
    delete clients;
}

// A fan-out drops the peers it gives up on while it walks: the walk must still
// visit every entry once, in order, and leave exactly the others registered.
struct DropDuringWalk {
    const char* name;
    std::vector<SocketHandle> dropped; // of clients 1 to 4
};

const DropDuringWalk DROPS_DURING_WALK[] = {
    {"none", {}},          {"the head", {1}},         {"a middle one", {2}},
    {"the tail", {4}},     {"head and tail", {1, 4}}, {"two in a row", {2, 3}},
    {"all", {1, 2, 3, 4}},
};

TEST(ClientList, AWalkThatUnlinksWhatItVisitsStillVisitsEveryEntryOnce) {
    const std::vector<SocketHandle> all = {1, 2, 3, 4};
    for (const DropDuringWalk& row : DROPS_DURING_WALK) {
        SCOPED_TRACE(row.name);
        ClientList* clients = createClientList();
        for (SocketHandle id : all) {
            appendClient(clients, new ClientNode{nullptr, nullptr, id, false});
        }
        std::vector<SocketHandle> visited;
        std::vector<ClientNode*> unlinked;
        forEachClient(clients, [&](ClientNode* entry) {
            visited.push_back(entry->socket);
            if (std::count(row.dropped.begin(), row.dropped.end(), entry->socket) != 0) {
                unlinkClient(clients, entry);
                unlinked.push_back(entry);
            }
        });
        EXPECT_EQ(visited, all);
        std::vector<SocketHandle> kept;
        std::copy_if(all.begin(), all.end(), std::back_inserter(kept), [&](SocketHandle id) {
            return std::count(row.dropped.begin(), row.dropped.end(), id) == 0;
        });
        expectMatches(clients, kept);
        for (ClientNode* entry : unlinked) {
            delete entry; // what the dropped client's worker does
        }
        while (clients->head != nullptr) {
            removeClient(clients, clients->head);
        }
        delete clients;
    }
}

} // namespace
