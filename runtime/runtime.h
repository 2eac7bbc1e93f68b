// Services of the runtime core that other folders use: core utilities
// (error argument, sentinel lists, bounded strings, paths, CRC-32) and the
// Unicode/UTF-8 character layer. Each concern keeps its own section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/errors.h"

// ---- Core utilities ----------------------------------------------------------

// Error argument: one text (at most ERROR_ARG_MAX characters) and one number
// that fill the "%s" and "%d" of the next error message. Both keep their
// value until overwritten. Used by the main thread only.
constexpr size_t ERROR_ARG_MAX = 1023;  // buffer of 1,024 bytes with terminator
void SetErrorArgString(const char* text);  // null stores the empty text
void SetErrorArgNumber(int32_t value);
const char* GetErrorArgString();
int32_t GetErrorArgNumber();

// Doubly linked lists with a sentinel header. An empty list's head points at
// its own tail field and its tailPred at the header, so the header is the
// first node's predecessor and &tail the last node's successor; tail is
// always null. Every record kept in a list starts with a Node.
struct Node {
  Node* succ;
  Node* pred;
};
struct List {
  Node* head;
  Node* tail;  // always null
  Node* tailPred;
};
void NewList(List* list);
bool IsListEmpty(const List* list);
void AddHead(List* list, Node* node);
void AddTail(List* list, Node* node);
Node* RemHead(List* list);  // null when empty
Node* RemTail(List* list);  // null when empty
void RemoveNode(Node* node);
// Inserts node after pred; a null pred inserts at the head, a pred whose succ
// is null (the list's &tail sentinel) appends at the tail.
void InsertNode(List* list, Node* node, Node* pred);

// Bounded strings: never write beyond size bytes, always terminate when size
// is at least 1; 1 when the whole of src fitted, 0 when it was cut.
int StrCopyBounded(char* dst, size_t size, const char* src);
int StrAppendBounded(char* dst, size_t size, const char* src);

// The position at which to write a terminator to cut the file name off a
// path: "dir/file" leaves "dir", "Volume:file" leaves "Volume:".
char* FindFilePart(char* path);
const char* FindFilePart(const char* path);
bool IsAbsolutePath(const char* path);
int FindLowestBit(uint32_t mask);  // 0..31, or -1 for 0

// CRC-32 of zlib and PNG (reflected 0xEDB88320, initial and final complement).
void InitCrc32Table();
uint32_t ComputeCrc32(const void* buffer, size_t length);  // 0 for length 0

// ---- Unicode and UTF-8 character layer ----------------------------------------
