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
// Every text routine works in the run's text mode: UTF-8 mode (strings are
// UTF-8, characters are code points) or 8-bit mode (strings are Latin-1
// bytes). Routines marked "mode" read the flag; the others do not.

// Text mode of the whole run: non-zero = UTF-8 mode. Set at start-up.
extern int32_t unicodeUtf8Mode;

// Encodings named by ConvertStringEncoding.
constexpr int32_t TEXT_ENCODING_LATIN1 = 0;
constexpr int32_t TEXT_ENCODING_UTF8 = 1;
// Room a buffer of Utf8EncodeChar or CharToStringMode needs (4 bytes and
// the terminator).
constexpr size_t UTF8_CHAR_BUFFER = 5;

// Code-point level.
// Writes 1 to 4 bytes and a terminator; returns the byte count. A value
// of 0x110000 or more writes only the terminator and returns 0.
size_t Utf8EncodeChar(char* buffer, uint32_t c);
// Decodes the character at text[*pos] without validation: the lead byte and
// the continuation bytes after it (at most five), and advances *pos.
uint32_t Utf8DecodeChar(const char* text, size_t* pos);
// Length of the character at p (0 when p == end) and its value in *code. A
// malformed or cut sequence counts as one byte whose value is the lead byte.
size_t Utf8DecodeNext(const char* p, const char* end, uint32_t* code);
// Characters in valid UTF-8 (RFC 3629: no overlong forms, surrogates or
// values above 0x10FFFF); invalid bytes give 0 with *error = 1, else
// *error = 0. error may be null.
size_t Utf8Validate(const char* text, size_t length, int* error);
size_t Utf8ValidateString(const char* text, int* error);  // terminated text
int Utf8CheckBytes(const char* text, size_t length);      // 1 valid, 0 not
// Byte offset of character n (a character is a lead byte and up to three
// continuation bytes); n below 1 gives 0, an n past the end gives the
// length. The first form stops at the terminator, the second after length
// bytes (zero bytes inside count as characters).
size_t Utf8ByteOffset(const char* text, int64_t n);
size_t Utf8ByteOffsetN(const char* text, size_t length, int64_t n);
// Characters in the given bytes, counted as Utf8ByteOffset walks them.
size_t Utf8CountChars(const char* text, size_t bytes);
size_t Utf8CharCount(const char* start, const char* end);
// Behind the character at p (by Utf8DecodeNext); end when p == end.
const char* Utf8NextChar(const char* p, const char* end);
// Start of the character before p, never before start.
const char* Utf8PrevChar(const char* start, const char* p);

bool UnicodeIsAlpha(uint32_t c);
bool UnicodeIsLower(uint32_t c);
bool UnicodeIsUpper(uint32_t c);
bool UnicodeIsCntrl(uint32_t c);
bool UnicodeIsDigit(uint32_t c);
bool UnicodeIsXDigit(uint32_t c);
bool UnicodeIsPunct(uint32_t c);
bool UnicodeIsSpace(uint32_t c);
bool UnicodeIsGraph(uint32_t c);
bool UnicodeIsPrint(uint32_t c);
bool UnicodeIsAlnum(uint32_t c);
uint32_t UnicodeToLower(uint32_t c);
uint32_t UnicodeToUpper(uint32_t c);
uint32_t UnicodeToTitle(uint32_t c);
uint32_t UnicodeFoldCase(uint32_t c);

// Mode: code points in UTF-8 mode; in 8-bit mode the byte through the
// Latin-1 tables (values above 0xFF are no class and map to themselves).
uint32_t CharToLower(uint32_t c);
uint32_t CharToUpper(uint32_t c);
bool CharIsGraph(uint32_t c);
bool CharIsPrint(uint32_t c);
bool CharIsAlpha(uint32_t c);
bool CharIsAlnum(uint32_t c);
bool CharIsLower(uint32_t c);
bool CharIsUpper(uint32_t c);
bool CharIsDigit(uint32_t c);
bool CharIsSpace(uint32_t c);
// Mode: c as a terminated string in buffer (UTF8_CHAR_BUFFER bytes): its
// UTF-8 sequence, or one byte; returns the byte count.
size_t CharToStringMode(char* buffer, uint32_t c);
// Mode: case mapping in place. In UTF-8 mode a character whose mapped
// form has an encoding of another length is left as it is.
void StrToUpper(char* text);
void StrToLower(char* text);
// Mode: 0 when equal without regard to case. 8-bit mode: the difference of
// the upper-cased bytes at the first mismatch. UTF-8 mode: -1 or 1 by
// case-folded code points; a string that ends first is smaller.
int CompareNoCase(const char* a, const char* b);
int CompareNoCaseN(const char* a, const char* b, size_t n);  // first n bytes
// Mode: 8-bit mode: byte order (case-sensitive) or CompareNoCase; UTF-8
// mode: CollateCompare. Negative, 0 or positive.
int CompareStringMode(const char* a, const char* b, int caseSensitive);
// Language order of UTF-8 strings: -1, 0 or 1. Letters sort alphabetically
// without regard to case first, accents after the base letter; a string
// that is a prefix of the other is smaller; case decides only between
// strings equal otherwise (and not at all when caseSensitive is 0).
// Characters beyond Latin Extended-B sort by code point after folding;
// invalid UTF-8 sorts by its bytes.
int CollateCompare(const char* a, const char* b, int caseSensitive);

// Latin-1 <-> UTF-8. Dup results come from AllocMemory (free them with
// FreeMemory); null for a null text or when memory runs out.
size_t Latin1ToUtf8Length(const char* text);  // bytes of the UTF-8 form
// Converts as much as fits in dstSize bytes (never half a character) and
// terminates when dstSize >= 1; returns the bytes written.
size_t Latin1ToUtf8(const char* src, char* dst, size_t dstSize);
char* Latin1ToUtf8Dup(const char* text);
// Converts srcLength bytes into dst, which holds srcLength + 1 bytes; a
// character outside Latin-1 or a malformed sequence becomes one '?'.
// When tracked is given it holds a source offset on entry and the matching
// destination offset on return. Returns the destination length.
size_t Utf8ToLatin1(const char* src, char* dst, size_t srcLength, size_t* tracked);
// Terminated src into dst of dstSize bytes, cut at a character boundary.
size_t Utf8ToLatin1Copy(const char* src, char* dst, size_t dstSize);
char* Utf8ToLatin1Dup(const char* text);
char* Utf8ToLatin1DupTracked(const char* text, size_t* tracked);
// Latin-1 to UTF-8 or UTF-8 to Latin-1 as a new string; any other pair of
// encodings gives null.
char* ConvertStringEncoding(const char* text, int32_t from, int32_t to);

