// libFuzzer target over the chunk loader: any input, read in blocks whose
// size the input's first byte chooses, must load or be refused with one of
// the loader's codes, leaving the stack as it was; a loaded function must
// write back to a chunk that loads again.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/object.h"
#include "engine/engine.h"

namespace {

struct Input {
    const uint8_t *data;
    size_t size;
    size_t block;
    size_t pos;
};

const char *readBlock(VmState *, void *ud, size_t *size)
{
    Input *in = static_cast<Input *>(ud);
    size_t left = in->size - in->pos;
    size_t n = in->block < left ? in->block : left;
    *size = n;
    const char *p = reinterpret_cast<const char *>(in->data + in->pos);
    in->pos += n;
    return n == 0 ? nullptr : p;
}

int collect(VmState *, const void *p, size_t size, void *ud)
{
    auto *out = static_cast<std::vector<uint8_t> *>(ud);
    const uint8_t *b = static_cast<const uint8_t *>(p);
    out->insert(out->end(), b, b + size);
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the block size: 0 hands everything over at once.
    size_t block = data[0] == 0 ? SIZE_MAX : data[0];
    Input in{data + 1, size - 1, block, 0};
    VmState *L = VmOpenState();
    if (L == nullptr)
        return 0;
    VmValue *top = L->top;
    ErrorCode e = VmLoad(L, readBlock, &in, "=fuzz");
    if (e == 0) {
        if (L->top != top + 1)
            std::abort();
        std::vector<uint8_t> chunk;
        if (VmDump(L, -1, collect, &chunk) != 0)
            std::abort();
        Input again{chunk.data(), chunk.size(), SIZE_MAX, 0};
        if (VmLoad(L, readBlock, &again, "=again") != 0)
            std::abort();
    } else {
        if (L->top != top)
            std::abort();
        if (e != ERR_MEM && (e < ERR_UNEXPECTEDEOF || e > ERR_UNKNUMFMT))
            std::abort();
    }
    VmCloseState(L);
    return 0;
}
