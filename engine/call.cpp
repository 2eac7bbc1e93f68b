// Calling values. This first form calls built-in closures only; script
// functions run once the interpreter loop is in the engine.
#include "engine/object.h"

ErrorCode VmCallValue(VmState *L, VmValue *func, int nresults)
{
    if (!VmIsFunction(func) || !VmClosureOf(func)->isC)
        VmRaiseError(L, ERR_FUNCDECLA);
    ptrdiff_t funcr = (char *)func - (char *)L->stack;
    VmCheckStack(L, VM_MINSTACK);
    if (L->ci + 1 == L->end_ci)
        VmGrowCallInfo(L);
    func = (VmValue *)((char *)L->stack + funcr);
    VmCallInfo *ci = ++L->ci;
    ci->base = func + 1;
    ci->top = L->top + VM_MINSTACK;
    ci->state = VM_CI_C;
    L->base = ci->base;
    int n = VmClosureOf(func)->c.f(L);
    func = (VmValue *)((char *)L->stack + funcr);
    ErrorCode err = 0;
    VmValue *firstResult;
    if (n >= 0 && n < 1000) {
        firstResult = L->top - n;
    } else {
        err = n < 0 ? 0 : n;
        firstResult = L->top;
    }
    VmValue *res = func;
    int wanted = nresults;
    while (wanted != 0 && firstResult < L->top) {
        *res++ = *firstResult++;
        wanted--;
    }
    while (wanted-- > 0)
        VmSetNil(res++);
    L->top = res;
    L->ci--;
    L->base = L->ci->base;
    return err;
}
