// Core utilities of the runtime: sentinel lists, the lowest set bit and
// CRC-32. Invariant: a List's tail field is always null, so the node at
// &list->tail is the end marker that every walk stops at.
#include <array>
#include <cstring>

#include "runtime/runtime.h"
#include "runtime/context_private.h"
#include "runtime/runtime_private.h"

namespace {

// The header doubles as two nodes: at &head it is the first node's
// predecessor (succ = head, pred = tail = null), at &tail the last node's
// successor (succ = tail = null, pred = tailPred).
Node* headSentinel(List* list) { return reinterpret_cast<Node*>(&list->head); }
Node* tailSentinel(List* list) { return reinterpret_cast<Node*>(&list->tail); }

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

// Built at compile time, so CRCs computed before start-up are right too.
constexpr std::array<uint32_t, 256> crcTable = makeCrcTable();

}  // namespace

void NewList(List* list) {
  list->head = tailSentinel(list);
  list->tail = nullptr;
  list->tailPred = headSentinel(list);
}

bool IsListEmpty(const List* list) {
  return list->tailPred == reinterpret_cast<const Node*>(&list->head);
}

void AddHead(List* list, Node* node) {
  Node* first = list->head;
  node->succ = first;
  node->pred = headSentinel(list);
  first->pred = node;
  list->head = node;
}

void AddTail(List* list, Node* node) {
  Node* last = list->tailPred;
  node->succ = tailSentinel(list);
  node->pred = last;
  last->succ = node;
  list->tailPred = node;
}

Node* RemHead(List* list) {
  Node* node = list->head;
  if (node->succ == nullptr) return nullptr;  // head is the &tail sentinel
  RemoveNode(node);
  return node;
}

Node* RemTail(List* list) {
  if (IsListEmpty(list)) return nullptr;
  Node* node = list->tailPred;
  RemoveNode(node);
  return node;
}

void RemoveNode(Node* node) {
  node->pred->succ = node->succ;
  node->succ->pred = node->pred;
}

void InsertNode(List* list, Node* node, Node* pred) {
  if (pred == nullptr) {
    AddHead(list, node);
    return;
  }
  if (pred->succ == nullptr) {
    AddTail(list, node);
    return;
  }
  Node* next = pred->succ;
  node->succ = next;
  node->pred = pred;
  next->pred = node;
  pred->succ = node;
}

bool IsAbsolutePath(const char* path) { return path != nullptr && path[0] == '/'; }

int FindLowestBit(uint32_t mask) { return mask == 0 ? -1 : __builtin_ctz(mask); }

void InitCrc32Table() {
  // The table is a compile-time constant; start-up still calls this so the
  // order of its steps stays the same wherever the table lives.
}

uint32_t ComputeCrc32(const void* buffer, size_t length) {
  if (length == 0) return 0;
  const auto* p = static_cast<const unsigned char*>(buffer);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; i++) crc = crcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}
