// The registry against a model: after every append and removal, its links,
// ends, count and walk must match a plain list of the same clients. Entries
// hold real sockets, since removeClient closes them.

#include "server/client_list.h"
#include "server/server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

// "+3" appends client 3, "-3" removes it.
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

// An entry as the acceptor makes it, on a socket of its own.
ClientNode* newEntry() {
    static const bool started = [] {
        NetStackInfo info{};
        return netStartup(NETWORK_VERSION, &info) == 0;
    }();
    EXPECT_TRUE(started);
    SocketHandle socket = tcpSocket();
    EXPECT_NE(socket, INVALID_SOCKET_HANDLE);
    // Bound, so that asking its name tells an open socket from a closed one.
    const NetAddress anyPort{NET_FAMILY_IPV4, 0, 0, {}};
    EXPECT_EQ(socketBind(socket, &anyPort, NET_ADDRESS_LENGTH), 0);
    ReceiveStop* stop = createReceiveStop();
    EXPECT_NE(stop, nullptr);
    SendSlot* send = createSendSlot();
    EXPECT_NE(send, nullptr);
    return new ClientNode{nullptr, nullptr, socket, stop, ClientState::Registered, send, 0};
}

bool isOpen(SocketHandle socket) {
    NetAddress address{};
    int length = NET_ADDRESS_LENGTH;
    return socketName(socket, &address, &length) == 0;
}

std::vector<const ClientNode*> walk(ClientList* clients) {
    std::vector<const ClientNode*> order;
    forEachClient(clients, [&](const ClientNode* entry) { order.push_back(entry); });
    return order;
}

void expectMatches(ClientList* clients, const std::vector<const ClientNode*>& model) {
    ASSERT_EQ(clients->count, model.size());
    EXPECT_EQ(walk(clients), model);
    if (model.empty()) {
        EXPECT_EQ(clients->head, nullptr);
        EXPECT_EQ(clients->tail, nullptr);
        return;
    }
    EXPECT_EQ(clients->head->previous, nullptr);
    EXPECT_EQ(clients->tail->next, nullptr);
    EXPECT_EQ(clients->head, model.front());
    EXPECT_EQ(clients->tail, model.back());
    // Backwards along `previous` must give the same order reversed.
    std::vector<const ClientNode*> backwards;
    for (const ClientNode* entry = clients->tail; entry != nullptr; entry = entry->previous) {
        backwards.push_back(entry);
    }
    EXPECT_EQ(backwards, std::vector<const ClientNode*>(model.rbegin(), model.rend()));
}

void removeAll(ClientList* clients) {
    while (clients->head != nullptr) {
        removeClient(clients, clients->head);
    }
    delete clients;
}

TEST(ClientList, MatchesAPlainListAfterEveryStep) {
    for (const Sequence& sequence : SEQUENCES) {
        SCOPED_TRACE(sequence.name);
        ClientList* clients = createClientList();
        std::vector<const ClientNode*> model;
        std::vector<ClientNode*> nodes(16, nullptr);
        for (const std::string& step : sequence.steps) {
            SCOPED_TRACE(step);
            auto id = std::stoul(step.substr(1));
            if (step[0] == '+') {
                nodes[id] = newEntry();
                appendClient(clients, nodes[id]);
                model.push_back(nodes[id]);
            } else {
                SocketHandle socket = nodes[id]->socket;
                model.erase(std::find(model.begin(), model.end(), nodes[id]));
                removeClient(clients, nodes[id]);
                EXPECT_FALSE(isOpen(socket)) << "its socket is closed";
            }
            expectMatches(clients, model);
        }
        removeAll(clients);
    }
}

TEST(ClientList, FirstAppendSetsTheCursor) {
    ClientList* clients = createClientList();
    ClientNode* only = newEntry();
    appendClient(clients, only);
    EXPECT_EQ(clients->head, only);
    EXPECT_EQ(clients->tail, only);
    EXPECT_EQ(clients->cursor, only);
    EXPECT_EQ(clients->count, 1u);
    removeAll(clients);
}

// A fan-out drops the peers it gives up on while it walks: the walk must still
// visit every entry once, in order, and leave exactly the others registered.
// A dropped entry keeps its socket open until removeClient ends it, which
// happens once, whoever calls it.
struct DropDuringWalk {
    const char* name;
    std::vector<int> dropped; // of clients 0 to 3
    ClientState why;
};

const DropDuringWalk DROPS_DURING_WALK[] = {
    {"none", {}, ClientState::CutOff},
    {"the head", {0}, ClientState::CutOff},
    {"a middle one", {1}, ClientState::Gone},
    {"the tail", {3}, ClientState::CutOff},
    {"head and tail", {0, 3}, ClientState::Gone},
    {"two in a row", {1, 2}, ClientState::CutOff},
    {"all", {0, 1, 2, 3}, ClientState::Gone},
};

TEST(ClientList, AWalkThatDropsWhatItVisitsStillVisitsEveryEntryOnce) {
    for (const DropDuringWalk& row : DROPS_DURING_WALK) {
        SCOPED_TRACE(row.name);
        ClientList* clients = createClientList();
        std::vector<const ClientNode*> all;
        for (int i = 0; i < 4; ++i) {
            ClientNode* entry = newEntry();
            appendClient(clients, entry);
            all.push_back(entry);
        }
        auto isDropped = [&](const ClientNode* entry) {
            auto at = std::find(all.begin(), all.end(), entry) - all.begin();
            return std::count(row.dropped.begin(), row.dropped.end(), at) != 0;
        };
        std::vector<const ClientNode*> visited;
        std::vector<ClientNode*> dropped;
        forEachClient(clients, [&](ClientNode* entry) {
            visited.push_back(entry);
            if (isDropped(entry)) {
                dropClient(clients, entry, row.why);
                dropped.push_back(entry);
            }
        });
        EXPECT_EQ(visited, all);
        std::vector<const ClientNode*> kept;
        std::copy_if(all.begin(), all.end(), std::back_inserter(kept),
                     [&](const ClientNode* entry) { return !isDropped(entry); });
        expectMatches(clients, kept);
        for (ClientNode* entry : dropped) {
            EXPECT_EQ(entry->state, row.why);
            SocketHandle socket = entry->socket;
            EXPECT_TRUE(isOpen(socket)) << "only removeClient closes a dropped client's socket";
            removeClient(clients, entry); // what its worker does when it ends
            EXPECT_FALSE(isOpen(socket));
        }
        expectMatches(clients, kept); // ending a dropped entry leaves the others be
        removeAll(clients);
    }
}

// The acceptor's side of a failed worker start: the newest entry, dropped by
// a fan-out before the acceptor ends it, leaves the registry once.
TEST(ClientList, ANewestEntryDroppedBeforeItsStartFailedLeavesTheRegistryOnce) {
    for (ClientState why : {ClientState::Gone, ClientState::CutOff}) {
        ClientList* clients = createClientList();
        ClientNode* first = newEntry();
        ClientNode* second = newEntry();
        ClientNode* newest = newEntry();
        for (ClientNode* entry : {first, second, newest}) {
            appendClient(clients, entry);
        }
        forEachClient(clients, [&](ClientNode* entry) {
            if (entry == newest) {
                dropClient(clients, entry, why);
            }
        });
        removeClient(clients, newest);
        expectMatches(clients, {first, second});
        removeAll(clients);
    }
}

} // namespace
