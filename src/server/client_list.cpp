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
    ++clients->count;
}

void unlinkClient(ClientList* clients, ClientNode* node) {
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
    --clients->count;
}

void removeClient(ClientList* clients, ClientNode* node) {
    unlinkClient(clients, node);
    delete node;
}
