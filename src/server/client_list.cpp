#include "server/client_list.h"

ClientList* createClientList() { return new ClientList{nullptr, nullptr, nullptr, {0}}; }

void appendClient(ClientList* clients, ClientNode* node) {
    if (clients->count == 0) {
        clients->head = node;
        clients->cursor = node;
    } else {
        node->previous = clients->tail;
        clients->tail->next = node;
    }
    clients->tail = node;
    node->state = ClientState::Registered;
    ++clients->count;
}

static void unlinkClient(ClientList* clients, ClientNode* node) {
    if (clients->count == 1) {
        clients->head = nullptr;
        clients->tail = nullptr;
    } else if (node->previous == nullptr) {
        clients->head = node->next;
        clients->head->previous = nullptr;
    } else if (node->next == nullptr) {
        clients->tail = node->previous;
        clients->tail->next = nullptr;
    } else {
        node->previous->next = node->next;
        node->next->previous = node->previous;
    }
    node->next = nullptr;
    node->previous = nullptr;
    --clients->count;
}

void dropClient(ClientList* clients, ClientNode* node, ClientState why) {
    unlinkClient(clients, node);
    node->state = why;
    socketResetOnClose(node->socket);
    if (why == ClientState::CutOff) {
        socketEndReceive(node->socket, node->stop);
    }
}

// Out of the count before the close, so no client that sees the close can
// still be counted. A dropped client gets no shutdown: it would queue an end
// of stream ahead of the close's reset, and a client that is cut off must
// see that it was.
void removeClient(ClientList* clients, ClientNode* node) {
    if (node->state == ClientState::Registered) {
        unlinkClient(clients, node);
        socketShutdownBoth(node->socket);
    }
    socketClose(node->socket);
    destroyReceiveStop(node->stop);
    destroySendSlot(node->send);
    delete node;
}
