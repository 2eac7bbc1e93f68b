// Character positions of the string library's texts: a forward walk over a
// text's characters from the nearest place remembered for it.
//
// Invariant: a remembered text is held by a registry reference of the
// state it belongs to, so while its entry names that state's registry its
// bytes cannot be freed or reused for another string, and every place kept
// for it (a character boundary and the characters before it) stays true.
// A new state forgets every entry (ForgetTextPositions) before its first
// command runs; an entry of another state is never used nor released.
#include <algorithm>
#include <new>
#include <vector>

#include "text/strcore.h"

namespace {

constexpr int REMEMBERED_TEXTS = 4;
constexpr int RECENT_PLACES = 4;

struct Remembered {
  const void* registry = nullptr;  // null: the entry is free
  const char* text = nullptr;
  size_t len = 0;
  Utf8Step step = Utf8Step::DECODE;
  VmRef ref = VM_REF_NIL;
  uint64_t used = 0;  // the use clock when last used
  // The last places walked to, the newest at recent[next - 1].
  Utf8Place recent[RECENT_PLACES] = {};
  int next = 0;
  // marks[k] is the place of character k * POSITION_MARK_SPACING, for
  // every such character as far as a walk has gone.
  std::vector<Utf8Place> marks;
};

Remembered remembered[REMEMBERED_TEXTS];
uint64_t useClock = 0;

void forget(Remembered* r) {
  r->registry = nullptr;
  r->ref = VM_REF_NIL;
  std::vector<Utf8Place>().swap(r->marks);
}

// Whether place p lies at or before the target of a walk.
bool before(const Utf8Place& p, size_t maxChars, size_t stop) {
  return p.chars <= maxChars && p.byte <= stop;
}

}  // namespace

void ForgetTextPositions() {
  for (Remembered& r : remembered) forget(&r);
}

Utf8Place TextPositions::walkRemembered(Utf8Place at, size_t maxChars, size_t stop) {
  const void* registry = VmToPointer(L_, VM_REGISTRY_INDEX);
  Remembered* r = nullptr;
  for (Remembered& e : remembered)
    if (e.text == text_ && e.registry == registry && e.len == len_ && e.step == step_) r = &e;
  if (r == nullptr) {
    // A walk that ends near the start does not make the text remembered.
    Utf8Walk(text_, len_, step_, &at, maxChars, std::min(stop, POSITION_CACHED_LENGTH));
    if (at.chars >= maxChars || at.byte >= stop) {
      last_ = at;
      return at;
    }
    r = &remembered[0];
    for (Remembered& e : remembered)
      if (e.registry == nullptr || (r->registry != nullptr && e.used < r->used)) r = &e;
    if (r->registry == registry) VmReleaseReference(L_, VM_REGISTRY_INDEX, r->ref);
    forget(r);
    VmPushValue(L_, index_);
    VmRef ref = VmCreateReference(L_, VM_REGISTRY_INDEX);
    *r = Remembered{};
    r->registry = registry;
    r->text = text_;
    r->len = len_;
    r->step = step_;
    r->ref = ref;
    // The walk starts again from the start, so that it records the marks.
    at = Utf8Place{0, 0};
  }
  r->used = ++useClock;

  // The nearest known place at or before the target.
  auto mark = std::partition_point(r->marks.begin(), r->marks.end(),
                                   [&](const Utf8Place& p) { return before(p, maxChars, stop); });
  if (mark != r->marks.begin() && mark[-1].chars > at.chars) at = mark[-1];
  for (const Utf8Place& p : r->recent)
    if (p.chars > at.chars && before(p, maxChars, stop)) at = p;

  // Walks on, stopping at each mark not yet recorded to record it.
  bool recording = true;
  for (;;) {
    size_t markChars = r->marks.size() * POSITION_MARK_SPACING;
    if (recording && at.chars == markChars) {
      try {
        r->marks.push_back(at);
      } catch (const std::bad_alloc&) {
        recording = false;  // the walk goes on without marks
      }
      continue;
    }
    size_t limit = recording && at.chars < markChars ? std::min(markChars, maxChars) : maxChars;
    Utf8Walk(text_, len_, step_, &at, limit, stop);
    if (!recording || at.chars != markChars) break;
  }
  last_ = at;
  r->recent[r->next] = at;
  r->next = (r->next + 1) % RECENT_PLACES;
  return at;
}
